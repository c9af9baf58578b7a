#include "canonical.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace vorlund {

namespace {

// The canonical form is exactly what nlohmann::json's dump() writes for these objects: keys in
// byte order, no whitespace, "/" unescaped, \b \t \n \f \r and \u00xx (lower case) for the other
// control characters, raw UTF-8 otherwise. Writing it directly keeps the verify path free of a
// JSON tree and of the library's byte-at-a-time escaping; any text this writer does not accept
// (invalid UTF-8) goes to the library itself, which throws its own error for it.
class CanonicalWriter {
public:
    explicit CanonicalWriter(std::size_t textBytes) { out_.reserve(textBytes + 256); }

    CanonicalWriter& member(std::string_view key, std::string_view text) {
        openMember(key);
        const std::size_t valueStart = out_.size();
        if (!appendEscaped(text)) {
            out_.resize(valueStart);
            append(nlohmann::json(text).dump()); // throws type_error 316 for invalid UTF-8
        }
        return *this;
    }

    CanonicalWriter& member(std::string_view key, std::int64_t number) {
        openMember(key);
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
        append({digits, static_cast<std::size_t>(end - digits)});
        return *this;
    }

    Bytes finish() {
        out_.push_back('}');
        return std::move(out_);
    }

private:
    void append(std::string_view text) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        out_.insert(out_.end(), bytes, bytes + text.size());
    }

    // Keys are fixed ASCII names and need no escaping.
    void openMember(std::string_view key) {
        out_.push_back(out_.empty() ? '{' : ',');
        out_.push_back('"');
        append(key);
        append("\":");
    }

    // Length of the well-formed UTF-8 sequence at the start of `text` (lead byte >= 0x80),
    // or 0 if it is ill-formed: overlong, a surrogate, above U+10FFFF or truncated.
    static std::size_t sequenceLength(std::string_view text) {
        const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        const auto continuation = [&](std::size_t i, unsigned char low, unsigned char high) {
            return i < text.size() && byte(i) >= low && byte(i) <= high;
        };
        const unsigned char lead = byte(0);
        if (lead >= 0xc2 && lead <= 0xdf)
            return continuation(1, 0x80, 0xbf) ? 2 : 0;
        if (lead >= 0xe0 && lead <= 0xef) {
            const unsigned char low = lead == 0xe0 ? 0xa0 : 0x80;
            const unsigned char high = lead == 0xed ? 0x9f : 0xbf;
            return continuation(1, low, high) && continuation(2, 0x80, 0xbf) ? 3 : 0;
        }
        if (lead >= 0xf0 && lead <= 0xf4) {
            const unsigned char low = lead == 0xf0 ? 0x90 : 0x80;
            const unsigned char high = lead == 0xf4 ? 0x8f : 0xbf;
            return continuation(1, low, high) && continuation(2, 0x80, 0xbf) &&
                           continuation(3, 0x80, 0xbf)
                       ? 4
                       : 0;
        }
        return 0;
    }

    // ASCII bytes that are written as they are.
    static constexpr auto plainAscii = [] {
        std::array<bool, 256> plain{};
        for (int c = 0x20; c < 0x80; ++c)
            plain[c] = c != '"' && c != '\\';
        return plain;
    }();

    // True if the eight bytes at `p` are all plain ASCII: no byte >= 0x80, < 0x20, '"' or '\\'.
    // Checking a word at a time keeps long answers cheap next to the signature check itself.
    static bool plainWord(const char* p) {
        constexpr std::uint64_t ones = 0x0101010101010101;
        constexpr std::uint64_t high = 0x8080808080808080;
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        const auto hasByteBelow = [&](std::uint64_t v, std::uint64_t n) {
            return (v - n * ones) & ~v & high;
        };
        const auto hasByte = [&](std::uint64_t b) { return hasByteBelow(word ^ (b * ones), 1); };
        return ((word & high) | hasByteBelow(word, 0x20) | hasByte('"') | hasByte('\\')) == 0;
    }

    // The letter of the two-character escape of an ASCII byte, or 0 if it has none.
    static char shortEscapeOf(unsigned char c) {
        switch (c) {
        case '"':
            return '"';
        case '\\':
            return '\\';
        case '\b':
            return 'b';
        case '\t':
            return 't';
        case '\n':
            return 'n';
        case '\f':
            return 'f';
        case '\r':
            return 'r';
        default:
            return 0;
        }
    }

    // Writes the quoted, escaped text; false if the text is not valid UTF-8.
    bool appendEscaped(std::string_view text) {
        out_.push_back('"');
        std::size_t runStart = 0;
        std::size_t at = 0;
        while (at < text.size()) {
            if (at + 8 <= text.size() && plainWord(text.data() + at)) {
                at += 8;
                continue;
            }
            // Something in the next eight bytes needs a closer look: take them one at a time.
            const std::size_t stop = std::min(at + 8, text.size());
            while (at < stop) {
                const auto c = static_cast<unsigned char>(text[at]);
                if (plainAscii[c]) {
                    ++at;
                } else if (c >= 0x80) {
                    const std::size_t length = sequenceLength(text.substr(at));
                    if (length == 0)
                        return false;
                    at += length;
                } else {
                    append(text.substr(runStart, at - runStart));
                    appendEscape(c);
                    runStart = ++at;
                }
            }
        }
        append(text.substr(runStart));
        out_.push_back('"');
        return true;
    }

    void appendEscape(unsigned char c) {
        static constexpr char hexDigits[] = "0123456789abcdef";
        out_.push_back('\\');
        if (const char letter = shortEscapeOf(c)) {
            out_.push_back(letter);
        } else {
            for (const char digit : {'u', '0', '0', hexDigits[c >> 4], hexDigits[c & 0xf]})
                out_.push_back(digit);
        }
    }

    Bytes out_;
};

} // namespace

Bytes canonicalEncode(const ClientSigningPayload& p) {
    return CanonicalWriter(p.bPubKey.size() + p.pinchId.size() + p.prompt.size())
        .member("bPubKey", p.bPubKey)
        .member("costCap", p.costCap)
        .member("pinchId", p.pinchId)
        .member("prompt", p.prompt)
        .member("requestedAt", p.requestedAt)
        .finish();
}

Bytes canonicalEncode(const ServerSigningPayload& p) {
    return CanonicalWriter(p.aPubKey.size() + p.bPubKey.size() + p.modelVersion.size() +
                           p.pinchId.size() + p.promptHash.size() + p.response.size())
        .member("aPubKey", p.aPubKey)
        .member("bPubKey", p.bPubKey)
        .member("latencyMs", p.latencyMs)
        .member("modelVersion", p.modelVersion)
        .member("pinchId", p.pinchId)
        .member("promptHash", p.promptHash)
        .member("response", p.response)
        .member("timestamp", p.timestamp)
        .finish();
}

} // namespace vorlund
