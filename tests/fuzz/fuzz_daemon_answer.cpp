// An answer body through decoding and verification: nothing but DecodeError and VerifyError
// comes out, and an answer is called signed exactly when the signature over nlohmann::json's own
// dump of its values verifies under its key.

#include "protocol/hex.h"
#include "protocol/json_codec.h"
#include "protocol/sodium.h"
#include "protocol/verify.h"

#include "reference_canonical.h"

#include <sodium.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vorlund;
    ensureSodium();
    DaemonResponse a;
    try {
        a = decodeDaemonResponse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const DecodeError&) {
        return 0;
    }
    bool signedByItsKey = false;
    try { // addressed to whatever key it names, so that the signature check is reached
        signedByItsKey = verifyDaemonResponse(a, a.bPubKey);
    } catch (const VerifyError&) {
        return 0;
    }
    const std::string canonical = test::referenceCanonical(signingPayloadOf(a));
    const auto key = hexToData(a.aPubKey), signature = hexToData(a.aSig);
    const bool reference =
        signature->size() == crypto_sign_BYTES &&
        crypto_sign_verify_detached(signature->data(),
                                    reinterpret_cast<const unsigned char*>(canonical.data()),
                                    canonical.size(), key->data()) == 0;
    if (signedByItsKey != reference)
        __builtin_trap();
    return 0;
}
