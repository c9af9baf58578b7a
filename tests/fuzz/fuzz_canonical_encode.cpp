// canonicalEncode of both payloads from fuzzed texts and integers: for valid UTF-8 the bytes are
// compact JSON with keys in ascending order, "/" unescaped, the same values, the same bytes on
// every call and the same bytes as nlohmann::json's own dump(); anything else is refused with
// nlohmann's type_error.

#include "fuzz_check.h"
#include "protocol/canonical.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

using vorlund::Bytes;
using vorlund::fuzz::check;
using vorlund::fuzz::fail;

// Decodes each sequence to its code point, which must be in its shortest form, not a surrogate
// and at most U+10FFFF.
bool isValidUtf8(std::string_view text) {
    static constexpr std::uint32_t smallestOfLength[] = {0, 0, 0x80, 0x800, 0x10000};
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            length = 1;
            point = lead;
        } else if ((lead & 0xe0) == 0xc0) {
            length = 2;
            point = lead & 0x1f;
        } else if ((lead & 0xf0) == 0xe0) {
            length = 3;
            point = lead & 0x0f;
        } else if ((lead & 0xf8) == 0xf0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (text.size() - at < length)
            return false;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xc0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3f);
        }
        if (length > 1 && point < smallestOfLength[length])
            return false;
        if ((point >= 0xd800 && point <= 0xdfff) || point > 0x10ffff)
            return false;
        at += length;
    }
    return true;
}

// Walks the JSON text: outside strings there is no whitespace, inside them no "\/" escape.
void checkLayout(std::string_view text) {
    bool inString = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        if (inString) {
            if (c == '\\') {
                check(at + 1 < text.size() && text[at + 1] != '/', "\"/\" is never escaped");
                ++at;
            } else if (c == '"') {
                inString = false;
            }
        } else {
            check(c != ' ' && c != '\t' && c != '\n' && c != '\r', "no whitespace between tokens");
            inString = c == '"';
        }
    }
}

template <typename Payload>
void checkEncoding(const Payload& payload, const nlohmann::json& expected,
                   std::initializer_list<std::string_view> texts) {
    if (!std::all_of(texts.begin(), texts.end(), isValidUtf8)) {
        try {
            (void)vorlund::canonicalEncode(payload);
        } catch (const nlohmann::json::type_error&) {
            return;
        }
        fail("text that is not valid UTF-8 is refused with a type_error");
    }

    const Bytes bytes = vorlund::canonicalEncode(payload);
    const std::string text(bytes.begin(), bytes.end());
    check(text == expected.dump(), "the bytes are nlohmann::json's compact dump of the values");
    check(vorlund::canonicalEncode(payload) == bytes, "encoding twice gives the same bytes");
    checkLayout(text);

    const auto parsed = nlohmann::ordered_json::parse(text);
    check(parsed.is_object(), "the encoding is one JSON object");
    std::vector<std::string> keys;
    for (const auto& member : parsed.items())
        keys.push_back(member.key());
    check(std::is_sorted(keys.begin(), keys.end()) &&
              std::adjacent_find(keys.begin(), keys.end()) == keys.end(),
          "keys stand in strictly ascending order");
    check(nlohmann::json(parsed) == expected, "the encoding parses back to the same values");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);

    vorlund::ClientSigningPayload client;
    client.bPubKey = input.ConsumeRandomLengthString();
    client.costCap = input.ConsumeIntegral<std::int64_t>();
    client.pinchId = input.ConsumeRandomLengthString();
    client.prompt = input.ConsumeRandomLengthString();
    client.requestedAt = input.ConsumeIntegral<std::int64_t>();
    checkEncoding(client,
                  {{"bPubKey", client.bPubKey},
                   {"costCap", client.costCap},
                   {"pinchId", client.pinchId},
                   {"prompt", client.prompt},
                   {"requestedAt", client.requestedAt}},
                  {client.bPubKey, client.pinchId, client.prompt});

    vorlund::ServerSigningPayload server;
    server.aPubKey = input.ConsumeRandomLengthString();
    server.bPubKey = input.ConsumeRandomLengthString();
    server.latencyMs = input.ConsumeIntegral<std::int64_t>();
    server.modelVersion = input.ConsumeRandomLengthString();
    server.pinchId = input.ConsumeRandomLengthString();
    server.promptHash = input.ConsumeRandomLengthString();
    server.response = input.ConsumeRandomLengthString();
    server.timestamp = input.ConsumeIntegral<std::int64_t>();
    checkEncoding(server,
                  {{"aPubKey", server.aPubKey},
                   {"bPubKey", server.bPubKey},
                   {"latencyMs", server.latencyMs},
                   {"modelVersion", server.modelVersion},
                   {"pinchId", server.pinchId},
                   {"promptHash", server.promptHash},
                   {"response", server.response},
                   {"timestamp", server.timestamp}},
                  {server.aPubKey, server.bPubKey, server.modelVersion, server.pinchId,
                   server.promptHash, server.response});
    return 0;
}
