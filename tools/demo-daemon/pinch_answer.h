#pragma once

#include "recent_pinches.h"

#include "identity/signing_key.h"
#include "protocol/json_codec.h"
#include "protocol/records.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace vorlund {

// One HTTP answer of the demo daemon.
struct DaemonReply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::chrono::milliseconds delay{0};
};

// A refusal: the status and a one-line reason as plain text.
DaemonReply refusal(int status, std::string reason);

// 401 when bSig does not verify over the canonical signing payload rebuilt from the request's
// values; 409 when requestedAt is further than maxClockDifference from now, or when `answered`
// knows the pinch; otherwise, remembered in `answered`, 200 with an answer signed by key,
// addressed to the request's bPubKey, stamped with now and the time taken since receivedAt.
DaemonReply answerPinch(const PinchRequest& request, const SigningKey& key, RecentPinches& answered,
                        std::chrono::system_clock::time_point now,
                        std::chrono::steady_clock::time_point receivedAt);

// The demo's deterministic answer to request, signed by key.
DaemonResponse signedAnswer(const PinchRequest& request, const SigningKey& key,
                            std::int64_t latencyMs, std::int64_t timestampMs);

} // namespace vorlund
