#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vorlund {

using Bytes = std::vector<std::uint8_t>;

// Lower-case hex, two digits per byte, no separators.
std::string hex(std::span<const std::uint8_t> bytes);

// Reads hex in either case. Yields nothing for malformed text, never a partial result.
// An odd last digit becomes a whole byte; each pair may also be "+d" or "-0".
std::optional<Bytes> hexToData(std::string_view text);

} // namespace vorlund
