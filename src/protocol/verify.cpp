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

    if (signature->size() != crypto_sign_BYTES)
        return false;
    ensureSodium();
    return crypto_sign_verify_detached(signature->data(), signedBytes.data(), signedBytes.size(),
                                       publicKey->data()) == 0;
}

} // namespace vorlund
