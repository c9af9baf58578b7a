#pragma once

#include "signing_key.h"

#include <filesystem>
#include <stdexcept>

namespace vorlund {

// A file-system failure while finding, reading or writing the key file. The message names the
// operation, the path and the system's reason, e.g. "create directory /x/y: Not a directory".
class KeyFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// $XDG_DATA_HOME/org.vorlund.client, or ~/.local/share/org.vorlund.client where XDG_DATA_HOME is
// unset or relative.
std::filesystem::path defaultKeyDirectory();

// The key file's name inside the key directory.
inline constexpr const char* keyFileName = "identity.key";

// Creates the directory if needed (0700, as are the parents it creates), then loads identity.key
// or makes and publishes a new key. The directory and the file must be the user's own, and so
// must a link in the place of either; a directory that group or others may write is made 0700.
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
SigningKey loadOrCreateKeyFile(const std::filesystem::path& file, KeyFileOfWrongLength wrongLength);

} // namespace vorlund
