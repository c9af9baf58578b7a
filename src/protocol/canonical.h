#pragma once

#include "hex.h"
#include "records.h"

namespace vorlund {

// The bytes both sides sign: compact JSON, keys in ascending byte order, "/" unescaped,
// control characters as \b \f \n \r \t or \u00xx (lower-case hex), everything else raw UTF-8.
// Throws nlohmann::json::exception for text that is not valid UTF-8.
Bytes canonicalEncode(const ClientSigningPayload& payload);
Bytes canonicalEncode(const ServerSigningPayload& payload);

// Sets aSig to what `sign` makes of the answer's canonical signing payload, in lower-case hex.
// The key stays with whoever owns it: `sign` takes the bytes and returns the signature.
template <typename Sign> void signDaemonResponse(DaemonResponse& answer, Sign&& sign) {
    answer.aSig = hex(sign(canonicalEncode(signingPayloadOf(answer))));
}

} // namespace vorlund
