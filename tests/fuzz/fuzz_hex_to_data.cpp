// hexToData against a reference that spells out the accepted groups, and hex as its inverse.

#include "protocol/hex.h"

#include <string_view>

namespace {

int digit(char c) {
    const auto at = std::string_view("0123456789abcdefABCDEF").find(c);
    return at == std::string_view::npos ? -1 : int(at < 16 ? at : at - 6);
}

// Pairs are "hh", "+h" or "-0"; an odd text ends in one lone "h". Anything else: nothing.
std::optional<vorlund::Bytes> reference(std::string_view text) {
    vorlund::Bytes bytes;
    for (std::size_t at = 0; at < text.size(); at += 2) {
        const char first = text[at], second = at + 1 < text.size() ? text[at + 1] : '\0';
        if (at + 1 == text.size() && digit(first) >= 0)
            bytes.push_back(std::uint8_t(digit(first)));
        else if (at + 1 < text.size() && digit(first) >= 0 && digit(second) >= 0)
            bytes.push_back(std::uint8_t(digit(first) * 16 + digit(second)));
        else if (at + 1 < text.size() &&
                 ((first == '+' && digit(second) >= 0) || (first == '-' && second == '0')))
            bytes.push_back(std::uint8_t(digit(second)));
        else
            return std::nullopt;
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (vorlund::hexToData(text) != reference(text))
        __builtin_trap();
    const vorlund::Bytes raw(data, data + size);
    if (vorlund::hexToData(vorlund::hex(raw)) != raw)
        __builtin_trap();
    return 0;
}
