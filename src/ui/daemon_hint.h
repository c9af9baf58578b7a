#pragma once

#include <QString>

namespace vorlund {

// What to do after a failed exchange with the daemon at daemonUrl, as one line for the window,
// or the empty text when there is nothing useful to say. A URL that names a model server's own
// API gets the command that puts the daemon in front of it; a refused plain-HTTP address on
// this machine, where the daemon that comes with Vorlund listens, gets the command that starts
// it there.
QString daemonHint(const QString& daemonUrl, bool connectionRefused);

} // namespace vorlund
