#include "verify.h"

#include "canonical.h"
#include "hex.h"
#include "sodium.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

namespace vorlund {

namespace {

std::string describe(VerifyError::Case kind, const std::string& carried) {
    switch (kind) {
    case VerifyError::Case::badPublicKey:
        return "badPublicKey(" + carried + ")";
    case VerifyError::Case::canonicalEncodingFailed:
        return "canonicalEncodingFailed(" + carried + ")";
    case VerifyError::Case::malformedHex:
        return "malformedHex";
    case VerifyError::Case::wrongRecipient:
        return "wrongRecipient";
    }
    return {};
}

// Both sides' check of a detached Ed25519 signature; keys and signatures of another length fail.
bool signatureVerifies(const Bytes& signature, const Bytes& message, const Bytes& publicKey) {
    if (signature.size() != crypto_sign_BYTES || publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    ensureSodium();
    return crypto_sign_verify_detached(signature.data(), message.data(), message.size(),
                                       publicKey.data()) == 0;
}

} // namespace

VerifyError::VerifyError(Case kind, std::string carried)
    : kind_(kind), carried_(std::move(carried)), description_(describe(kind_, carried_)) {}

bool verifyDaemonResponse(const DaemonResponse& response, std::string_view expectedBPubKey) {
    if (response.bPubKey != expectedBPubKey)
        throw VerifyError(VerifyError::Case::wrongRecipient);

    const auto publicKey = hexToData(response.aPubKey);
    if (!publicKey)
        throw VerifyError(VerifyError::Case::malformedHex);
    const auto signature = hexToData(response.aSig);
    if (!signature)
        throw VerifyError(VerifyError::Case::malformedHex);

    if (publicKey->size() != crypto_sign_PUBLICKEYBYTES)
        throw VerifyError(VerifyError::Case::badPublicKey,
                          "public key must be " + std::to_string(crypto_sign_PUBLICKEYBYTES) +
                              " bytes, got " + std::to_string(publicKey->size()));

    // aPubKey goes in as received: the daemon signed its own text, not a re-encoding of it.
    Bytes signedBytes;
    try {
        signedBytes = canonicalEncode(signingPayloadOf(response));
    } catch (const nlohmann::json::exception& error) {
        throw VerifyError(VerifyError::Case::canonicalEncodingFailed, error.what());
    }

    return signatureVerifies(*signature, signedBytes, *publicKey);
}

bool verifyPinchRequest(const PinchRequest& request) {
    const auto publicKey = hexToData(request.bPubKey);
    const auto signature = hexToData(request.bSig);
    try {
        return publicKey && signature &&
               signatureVerifies(*signature, canonicalEncode(signingPayloadOf(request)),
                                 *publicKey);
    } catch (const nlohmann::json::exception&) { // text that is not UTF-8 was never signed
        return false;
    }
}

} // namespace vorlund
