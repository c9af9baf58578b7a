#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlund {

// A place in a JSON text: member names and array indices from the top, such as
// {".choices", "#0", ".message", ".content"} ("." before a name, "#" before an index).
using JsonPath = std::vector<std::string>;

// The strings found at the given places of a JSON text, one for each path, absent where that
// place holds no string. The text is read without building its tree and nothing but the
// strings asked for is kept, so a wide or deep text costs no more memory than its own bytes.
// Nothing if the text is not JSON or nests deeper than maxDepth.
std::optional<std::vector<std::optional<std::string>>>
jsonStringsAt(std::string_view text, const std::vector<JsonPath>& paths, int maxDepth = 64);

} // namespace vorlund
