#pragma once

#include "recent_pinches.h"

#include "identity/signing_key.h"
#include "protocol/json_codec.h"
#include "protocol/records.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace vorlund {

// One HTTP answer of the daemon.
struct DaemonReply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::chrono::milliseconds delay{0};
};

// A refusal: the status and a one-line reason as plain text.
DaemonReply refusal(int status, std::string reason);

// What answers a checked pinch, before the daemon signs it.
struct ModelAnswer {
    std::string text;
    std::string modelVersion;
    std::chrono::milliseconds latency{0};
    std::shared_ptr<void> turn; // held until the answer is signed and encoded
};

// Answers a checked pinch, or refuses it with the reply the client sees. Called from several
// server threads at once.
using AnswerSource = std::function<std::variant<ModelAnswer, DaemonReply>(const PinchRequest&)>;

// 401 when bSig does not verify over the canonical signing payload rebuilt from the request's
// values; 409 when requestedAt is further than maxClockDifference behind now or maxClockAhead
// ahead of it, or when `answered` knows the pinch; otherwise, remembered in `answered`, the
// refusal of `model` or 200 with its answer (without a model, the prompt echoed, taking the time
// since receivedAt) signed by key, addressed to the request's bPubKey, stamped with now; 502 for
// a model's answer larger than a window reads.
DaemonReply answerPinch(const PinchRequest& request, const SigningKey& key, RecentPinches& answered,
                        std::chrono::system_clock::time_point now,
                        std::chrono::steady_clock::time_point receivedAt,
                        const AnswerSource& model = {});

// The echo answer to request, signed by key: what the daemon says without a model server.
DaemonResponse signedAnswer(const PinchRequest& request, const SigningKey& key,
                            std::int64_t latencyMs, std::int64_t timestampMs);
// That answer signed by key, addressed to the request's bPubKey.
DaemonResponse signedAnswer(const PinchRequest& request, const ModelAnswer& answer,
                            const SigningKey& key, std::int64_t timestampMs);

} // namespace vorlund
