// hexToData against a reference that spells out the accepted group shapes one by one, and hex
// and hexToData as each other's inverse.

#include "fuzz_check.h"
#include "protocol/hex.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

using vorlund::Bytes;
using vorlund::fuzz::check;

constexpr std::string_view hexDigits = "0123456789abcdefABCDEF";

bool isHexDigit(char c) {
    return hexDigits.find(c) != std::string_view::npos;
}

std::uint8_t valueOf(char c) {
    const auto at = hexDigits.find(c);
    return static_cast<std::uint8_t>(at < 16 ? at : at - 6);
}

// Pairs are "hh", "+h" or "-0"; an odd text ends in one lone "h". Anything else: nothing.
std::optional<Bytes> referenceDecode(std::string_view text) {
    Bytes bytes;
    std::size_t at = 0;
    for (; at + 1 < text.size(); at += 2) {
        const char first = text[at];
        const char second = text[at + 1];
        if (isHexDigit(first) && isHexDigit(second))
            bytes.push_back(static_cast<std::uint8_t>(valueOf(first) * 16 + valueOf(second)));
        else if (first == '+' && isHexDigit(second))
            bytes.push_back(valueOf(second));
        else if (first == '-' && second == '0')
            bytes.push_back(0);
        else
            return std::nullopt;
    }
    if (at < text.size()) {
        if (!isHexDigit(text[at]))
            return std::nullopt;
        bytes.push_back(valueOf(text[at]));
    }
    return bytes;
}

std::string lowerCased(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'F')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const std::optional<Bytes> decoded = vorlund::hexToData(text);
    const std::optional<Bytes> expected = referenceDecode(text);
    check(decoded.has_value() == expected.has_value(),
          "hexToData yields bytes exactly for well-formed text");
    if (decoded) {
        check(decoded->size() == (size + 1) / 2, "one byte per pair and one for an odd last digit");
        check(*decoded == *expected, "each byte is the value of its group");
    }

    if (size % 2 == 0 && std::all_of(text.begin(), text.end(), isHexDigit))
        check(decoded && vorlund::hex(*decoded) == lowerCased(text),
              "hex of hexToData gives even-length digit text back in lower case");

    const Bytes raw(data, data + size);
    const std::optional<Bytes> back = vorlund::hexToData(vorlund::hex(raw));
    check(back && *back == raw, "hexToData of hex gives the bytes back");
    return 0;
}
