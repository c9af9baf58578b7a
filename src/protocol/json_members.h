#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorlund {

// Why a body is not the JSON object expected; the message names the fault, for example:
// key "aSig" is missing.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// How deep an answer may nest. The records need one level; the rest is room for members of a
// daemon's own, and common JSON decoders stop at this depth too.
inline constexpr std::size_t maxAnswerDepth = 512;
// A request is one flat object; this leaves room for a client's own members.
inline constexpr std::size_t maxRequestDepth = 64;

// A member as a reader of scalars needs it: a scalar as it is, an object or array as an empty one
// of its kind, and a number written with a fraction or an exponent also as written, so that it
// can be read exactly.
struct JsonMember {
    nlohmann::json value;
    std::string numberText;
};

using JsonMembers = std::map<std::string, JsonMember, std::less<>>;

// The members named in `names` of the JSON object `text`; of a key given twice the last counts.
// Nothing else is kept, so that no body, however wide or deep, costs more memory than the members
// kept. Nothing when `text` is JSON but not an object. Throws DecodeError when `text` is not
// JSON, or nests deeper than maxDepth levels.
std::optional<JsonMembers>
objectMembers(std::string_view text, std::span<const std::string_view> names, std::size_t maxDepth);

} // namespace vorlund
