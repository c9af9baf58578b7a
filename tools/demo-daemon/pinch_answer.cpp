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
                        std::chrono::steady_clock::time_point receivedAt) {
    using namespace std::chrono;
    if (!verifyPinchRequest(request))
        return refusal(401, "signature does not verify");
    // Within the window a captured pinch is refused as a repeat, beyond it for its time.
    const std::int64_t nowSeconds = duration_cast<seconds>(now.time_since_epoch()).count();
    const std::int64_t window = seconds(maxClockDifference).count();
    if (request.requestedAt < nowSeconds - window || request.requestedAt > nowSeconds + window)
        return refusal(409, "requestedAt is more than " +
                                std::to_string(maxClockDifference.count()) +
                                " minutes from the daemon's clock");
    switch (answered.remember(request.pinchId, request.requestedAt, nowSeconds)) {
    case RecentPinches::Verdict::answeredAlready:
        return refusal(409, "this pinch was answered already");
    case RecentPinches::Verdict::tooOldToTell:
        return refusal(409, "this pinch is older than the pinches this daemon still remembers");
    case RecentPinches::Verdict::firstSeen:
        break;
    }
    const auto latency = duration_cast<milliseconds>(steady_clock::now() - receivedAt);
    const auto timestamp = duration_cast<milliseconds>(now.time_since_epoch());
    return {.body = encodeDaemonResponse(
                signedAnswer(request, key, latency.count(), timestamp.count()))};
}

DaemonResponse signedAnswer(const PinchRequest& request, const SigningKey& key,
                            std::int64_t latencyMs, std::int64_t timestampMs) {
    DaemonResponse answer{.response = "Demo daemon received: \"" + request.prompt + "\"",
                          .latencyMs = latencyMs,
                          .modelVersion = "demo-1",
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
