#include "hex.h"

namespace vorlund {

namespace {

constexpr char digits[] = "0123456789abcdef";

// The value of one hex digit, or -1.
int digitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One group of one or two characters, read the way an unsigned 8-bit integer is parsed from
// text in radix 16: an optional sign, then digits; after "-" only zero is accepted.
std::optional<std::uint8_t> parseGroup(std::string_view group) {
    bool negative = false;
    if (!group.empty() && (group.front() == '+' || group.front() == '-')) {
        negative = group.front() == '-';
        group.remove_prefix(1);
    }
    if (group.empty())
        return std::nullopt;
    int value = 0;
    for (char c : group) {
        const int d = digitValue(c);
        if (d < 0)
            return std::nullopt;
        value = value * 16 + d;
    }
    if (negative && value != 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

} // namespace

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string text(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return text;
}

std::optional<Bytes> hexToData(std::string_view text) {
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t at = 0; at < text.size(); at += 2) {
        const auto byte = parseGroup(text.substr(at, 2));
        if (!byte)
            return std::nullopt;
        bytes.push_back(*byte);
    }
    return bytes;
}

} // namespace vorlund
