#pragma once

#include <filesystem>

namespace vorlund {

// Where this user's programs keep their data: $XDG_DATA_HOME, or ~/.local/share where it is
// unset, empty or relative (a relative one would give each working directory data of its own).
// Throws FileError when the home folder is not an absolute path.
std::filesystem::path userDataFolder();

} // namespace vorlund
