#pragma once

#include <QString>

namespace vorlund {

// Shows message in a modal box named after the program and returns when it is closed.
void showFatalErrorBox(const QString& message);

} // namespace vorlund
