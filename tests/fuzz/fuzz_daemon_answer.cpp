// An answer body as the daemon might send it, through decoding and verification. Nothing but
// DecodeError and VerifyError may come out, and verification must reach the outcome that a
// reference built from nlohmann::json's own dump() and a direct libsodium check reaches; above
// all it may never call an answer signed that is not.

#include "fuzz_check.h"
#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "protocol/verify.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

namespace {

using namespace vorlund;
using fuzz::check;
using fuzz::fail;

// The client key of the conformance vectors, to which the seed answers are addressed.
constexpr std::string_view clientKey =
    "3b6a27bcceb6a42d62a3a8d02a6f0d73653215771de243a63ac048a18b59da29";

enum class Outcome { signedByDaemon, badSignature, wrongRecipient, malformedHex, badPublicKey };

Outcome outcomeOf(VerifyError::Case kind) {
    switch (kind) {
    case VerifyError::Case::wrongRecipient:
        return Outcome::wrongRecipient;
    case VerifyError::Case::malformedHex:
        return Outcome::malformedHex;
    case VerifyError::Case::badPublicKey:
        return Outcome::badPublicKey;
    case VerifyError::Case::canonicalEncodingFailed:
        break;
    }
    fail("a decoded answer always has a canonical encoding");
}

Outcome verified(const DaemonResponse& answer, std::string_view expectedBPubKey) {
    try {
        return verifyDaemonResponse(answer, expectedBPubKey) ? Outcome::signedByDaemon
                                                             : Outcome::badSignature;
    } catch (const VerifyError& error) {
        return outcomeOf(error.kind());
    }
}

// The same decision without verifyDaemonResponse or canonicalEncode.
Outcome expectedOutcome(const DaemonResponse& answer, std::string_view expectedBPubKey) {
    if (answer.bPubKey != expectedBPubKey)
        return Outcome::wrongRecipient;
    const auto key = hexToData(answer.aPubKey);
    const auto signature = hexToData(answer.aSig);
    if (!key || !signature)
        return Outcome::malformedHex;
    if (key->size() != crypto_sign_PUBLICKEYBYTES)
        return Outcome::badPublicKey;
    if (signature->size() != crypto_sign_BYTES)
        return Outcome::badSignature;
    const std::string canonical =
        nlohmann::json{{"aPubKey", answer.aPubKey},     {"bPubKey", answer.bPubKey},
                       {"latencyMs", answer.latencyMs}, {"modelVersion", answer.modelVersion},
                       {"pinchId", answer.pinchId},     {"promptHash", answer.promptHash},
                       {"response", answer.response},   {"timestamp", answer.timestamp}}
            .dump();
    const bool valid =
        crypto_sign_verify_detached(signature->data(),
                                    reinterpret_cast<const unsigned char*>(canonical.data()),
                                    canonical.size(), key->data()) == 0;
    return valid ? Outcome::signedByDaemon : Outcome::badSignature;
}

// A decoded answer holds the body's values under their own keys.
void checkDecodedValues(std::string_view body, const DaemonResponse& answer) {
    const auto document = nlohmann::json::parse(body);
    check(document.at("response") == answer.response &&
              document.at("latencyMs") == answer.latencyMs &&
              document.at("modelVersion") == answer.modelVersion &&
              document.at("promptHash") == answer.promptHash &&
              document.at("timestamp") == answer.timestamp &&
              document.at("pinchId") == answer.pinchId &&
              document.at("bPubKey") == answer.bPubKey &&
              document.at("aPubKey") == answer.aPubKey && document.at("aSig") == answer.aSig,
          "decoding keeps every value under its own key");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ensureSodium();
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    try {
        DaemonResponse answer;
        try {
            answer = decodeDaemonResponse(body);
        } catch (const DecodeError&) {
            return 0;
        }
        checkDecodedValues(body, answer);
        // Once as the client would call it, once addressed to whatever key the answer names so
        // that the signature check itself is reached.
        for (const std::string_view expectedKey : {clientKey, std::string_view(answer.bPubKey)})
            check(verified(answer, expectedKey) == expectedOutcome(answer, expectedKey),
                  "verification reaches the reference's outcome");
    } catch (const std::exception& error) {
        fail(std::string("unexpected exception: ") + error.what());
    }
    return 0;
}
