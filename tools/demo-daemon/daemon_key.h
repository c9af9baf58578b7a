#pragma once

#include "identity/signing_key.h"

#include <filesystem>

namespace vorlund {

// The daemon's key from a file holding its 32-byte seed. A missing file is created (mode 0600)
// with a new key; a file of any other length, or one that cannot be read or written, is an
// error (std::runtime_error), so a typo never silently replaces a key.
SigningKey loadOrCreateDaemonKey(const std::filesystem::path& file);

} // namespace vorlund
