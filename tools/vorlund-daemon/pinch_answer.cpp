#include "pinch_answer.h"

#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/limits.h"
#include "protocol/sodium.h"
#include "protocol/verify.h"

#include <sodium.h>

#include <array>

namespace vorlund {

namespace {

std::string sha256Hex(std::string_view textToHash) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    ensureSodium();
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(textToHash.data()),
                       textToHash.size());
    return hex(digest);
}

} // namespace

DaemonReply refusal(int status, std::string reason) {
    return {.status = status, .contentType = "text/plain", .body = std::move(reason)};
}

DaemonReply answerPinch(const PinchRequest& request, const SigningKey& key, RecentPinches& answered,
                        std::chrono::system_clock::time_point now,
                        std::chrono::steady_clock::time_point receivedAt,
                        const AnswerSource& model) {
    using namespace std::chrono;
    if (!verifyPinchRequest(request))
        return refusal(401, "signature does not verify");
    // Within the window a captured pinch is refused as a repeat, beyond it for its time.
    const std::int64_t nowSeconds = duration_cast<seconds>(now.time_since_epoch()).count();
    if (request.requestedAt < nowSeconds - seconds(maxClockDifference).count())
        return refusal(409, "requestedAt is more than " +
                                std::to_string(maxClockDifference.count()) +
                                " minutes behind the daemon's clock");
    // On the daemon's own machine the client's clock is the daemon's; pinches dated far ahead
    // would only fill the set of those remembered.
    if (request.requestedAt > nowSeconds + maxClockAhead.count())
        return refusal(409, "requestedAt is more than " + std::to_string(maxClockAhead.count()) +
                                " seconds ahead of the daemon's clock");
    switch (answered.remember(request.pinchId, request.requestedAt, nowSeconds)) {
    case RecentPinches::Verdict::answeredAlready:
        return refusal(409, "this pinch was answered already");
    case RecentPinches::Verdict::tooOldToTell:
        return refusal(409, "this pinch is older than the pinches this daemon still remembers");
    case RecentPinches::Verdict::firstSeen:
        break;
    }
    const auto timestamp = duration_cast<milliseconds>(now.time_since_epoch());
    if (!model) {
        const auto latency = duration_cast<milliseconds>(steady_clock::now() - receivedAt);
        return {.body = encodeDaemonResponse(
                    signedAnswer(request, key, latency.count(), timestamp.count()))};
    }
    auto answer = model(request);
    if (const auto* refused = std::get_if<DaemonReply>(&answer))
        return *refused;
    DaemonReply reply{.body = encodeDaemonResponse(signedAnswer(
                          request, std::get<ModelAnswer>(answer), key, timestamp.count()))};
    // The window would refuse it for its size and say less about why.
    if (reply.body.size() > maxAnswerBodyBytes)
        return refusal(502, "the model's answer is larger than the 16 MiB a window takes");
    return reply;
}

DaemonResponse signedAnswer(const PinchRequest& request, const SigningKey& key,
                            std::int64_t latencyMs, std::int64_t timestampMs) {
    return signedAnswer(request,
                        {.text = "Demo daemon received: \"" + request.prompt + "\"",
                         .modelVersion = "demo-1",
                         .latency = std::chrono::milliseconds(latencyMs),
                         .turn = nullptr},
                        key, timestampMs);
}

DaemonResponse signedAnswer(const PinchRequest& request, const ModelAnswer& model,
                            const SigningKey& key, std::int64_t timestampMs) {
    DaemonResponse answer{.response = model.text,
                          .latencyMs = model.latency.count(),
                          .modelVersion = model.modelVersion,
                          .promptHash = sha256Hex(request.prompt),
                          .timestamp = timestampMs,
                          .pinchId = request.pinchId,
                          .bPubKey = request.bPubKey,
                          .aPubKey = hex(key.publicKey()),
                          .aSig = {}};
    signDaemonResponse(answer, [&](const Bytes& message) { return key.sign(message); });
    return answer;
}

} // namespace vorlund
