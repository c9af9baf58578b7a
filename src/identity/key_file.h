#pragma once

#include "posix_file.h"
#include "signing_key.h"

#include <filesystem>

namespace vorlund {

// The key file's name inside the key directory.
inline constexpr const char* keyFileName = "identity.key";

// Creates the directory if needed (0700, as are the parents it creates), then loads identity.key
// or makes and publishes a new key. The directory and the file must be the user's own, and so
// must a link in the place of either; a directory that group or others may write is made 0700,
// and a key file that group or others may read is made 0600, with a line on standard error.
// A missing file gets a new key; a file of the wrong length is moved aside to
// identity.key.invalid-<unix seconds> first; an unreadable one is an error and stays untouched.
// A new key file is private (0600) from its first byte and appears complete or not at all;
// if another process publishes one first, that key is loaded instead. Temporary files that
// killed starts left behind are removed once they are ten minutes old.
SigningKey loadOrCreateKey(const std::filesystem::path& keyDirectory);

// What loadOrCreateKeyFile does with a file that is not a key: the client's own makes way for a
// new key, one a user names on a command line is an error and stays untouched, since a
// mistyped name must never cost a key.
enum class KeyFileOfWrongLength { moveAside, refuse };

// loadOrCreateKey for a key file of any name, in a directory that exists.
// Both throw FileError.
SigningKey loadOrCreateKeyFile(const std::filesystem::path& file, KeyFileOfWrongLength wrongLength);

} // namespace vorlund
