#pragma once

#include <filesystem>
#include <string>

namespace vorlund {

// The first line of an API key file. Throws FileError with a one-line reason, never
// holding the key, when the file is not a regular file, group or others may read it (as ssh
// refuses such keys), or its first line is empty or holds control characters.
std::string readApiKeyFile(const std::filesystem::path& file);

} // namespace vorlund
