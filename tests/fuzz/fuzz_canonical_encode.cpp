// canonicalEncode of fuzzed texts and integers: the very bytes of nlohmann::json's compact dump,
// or the library's own error where a text is not valid UTF-8.

#include "protocol/canonical.h"

#include "reference_canonical.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

namespace {

template <typename Encode> std::string encodingOrError(Encode encode) {
    try {
        return encode();
    } catch (const nlohmann::json::type_error& error) {
        return error.what();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    vorlund::ServerSigningPayload p;
    for (std::string* text :
         {&p.aPubKey, &p.bPubKey, &p.modelVersion, &p.pinchId, &p.promptHash, &p.response})
        *text = input.ConsumeRandomLengthString();
    p.latencyMs = input.ConsumeIntegral<std::int64_t>();
    p.timestamp = input.ConsumeIntegral<std::int64_t>();
    const std::string ours = encodingOrError([&] {
        const vorlund::Bytes bytes = vorlund::canonicalEncode(p);
        return std::string(bytes.begin(), bytes.end());
    });
    const std::string library =
        encodingOrError([&] { return vorlund::test::referenceCanonical(p); });
    if (ours != library)
        __builtin_trap();
    return 0;
}
