#pragma once

#include "records.h"

#include <exception>
#include <string>
#include <string_view>

namespace vorlund {

class VerifyError : public std::exception {
public:
    enum class Case { badPublicKey, canonicalEncodingFailed, malformedHex, wrongRecipient };

    explicit VerifyError(Case kind, std::string carried = {});

    Case kind() const noexcept { return kind_; }
    // The underlying error's text for the two carrying cases, empty otherwise.
    const std::string& carried() const noexcept { return carried_; }
    // The case name, with the carried error in parentheses: "badPublicKey(…)", "malformedHex".
    const char* what() const noexcept override { return description_.c_str(); }

private:
    Case kind_;
    std::string carried_;
    std::string description_;
};

// True when the answer is addressed to expectedBPubKey and aSig verifies over the canonical
// ServerSigningPayload under aPubKey; false when only the signature fails. Throws VerifyError.
bool verifyDaemonResponse(const DaemonResponse& response, std::string_view expectedBPubKey);

// True when bSig verifies over the canonical ClientSigningPayload under bPubKey; false for any
// fault, malformed hex included.
bool verifyPinchRequest(const PinchRequest& request);

} // namespace vorlund
