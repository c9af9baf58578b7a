#include "pinch_answer.h"

#include "protocol/canonical.h"
#include "protocol/hex.h"
#include "protocol/sodium.h"

#include <nlohmann/json.hpp>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

namespace vorlund {

namespace {

using nlohmann::json;

const json& member(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end())
        throw MalformedPinch(std::string("key \"") + key + "\" is missing");
    return *found;
}

std::string text(const json& object, const char* key) {
    const json& value = member(object, key);
    if (!value.is_string())
        throw MalformedPinch(std::string("key \"") + key + "\" must be a string");
    return value.get<std::string>();
}

std::int64_t integer(const json& object, const char* key) {
    const json& value = member(object, key);
    const bool fits = value.is_number_integer() &&
                      (!value.is_number_unsigned() ||
                       value.get<std::uint64_t>() <=
                           static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
    if (!fits)
        throw MalformedPinch(std::string("key \"") + key + "\" must be a 64-bit integer");
    return value.get<std::int64_t>();
}

std::string hexText(const json& object, const char* key, std::size_t digits) {
    std::string value = text(object, key);
    const bool isHex =
        value.size() == digits && std::all_of(value.begin(), value.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
    if (!isHex)
        throw MalformedPinch(std::string("key \"") + key + "\" must be " + std::to_string(digits) +
                             " hex digits");
    return value;
}

bool signatureVerifies(const PinchRequest& request) {
    const Bytes message = canonicalEncode(signingPayloadOf(request));
    const auto signature = hexToData(request.bSig);
    const auto publicKey = hexToData(request.bPubKey);
    return signature && publicKey &&
           crypto_sign_verify_detached(signature->data(), message.data(), message.size(),
                                       publicKey->data()) == 0;
}

std::string sha256Hex(std::string_view textToHash) {
    std::array<std::uint8_t, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(textToHash.data()),
                       textToHash.size());
    return hex(digest);
}

// A request is one flat object; each level deeper only costs memory.
constexpr int maxNesting = 64;

} // namespace

DaemonReply refusal(int status, std::string reason) {
    return {.status = status, .contentType = "text/plain", .body = std::move(reason)};
}

PinchRequest parsePinchRequest(std::string_view body) {
    const auto boundedNesting = [](int depth, json::parse_event_t event, json&) {
        const bool opens =
            event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
        if (opens && depth >= maxNesting)
            throw MalformedPinch("the body nests deeper than " + std::to_string(maxNesting) +
                                 " levels");
        return true;
    };
    const json object = json::parse(body, boundedNesting, false);
    if (object.is_discarded())
        throw MalformedPinch("the body is not valid JSON");
    if (!object.is_object())
        throw MalformedPinch("the body is not a JSON object");
    return PinchRequest{.bPubKey = hexText(object, "bPubKey", 64),
                        .bSig = hexText(object, "bSig", 128),
                        .costCap = integer(object, "costCap"),
                        .pinchId = text(object, "pinchId"),
                        .prompt = text(object, "prompt"),
                        .requestedAt = integer(object, "requestedAt")};
}

DaemonReply answerPinch(const PinchRequest& request, const SigningKey& key, RecentPinches& answered,
                        std::chrono::system_clock::time_point now,
                        std::chrono::steady_clock::time_point receivedAt,
                        const AnswerSource& model) {
    using namespace std::chrono;
    ensureSodium();
    if (!signatureVerifies(request))
        return refusal(401, "signature does not verify");
    // Within the window a captured pinch is refused as a repeat, beyond it for its time.
    const std::int64_t nowSeconds = duration_cast<seconds>(now.time_since_epoch()).count();
    if (request.requestedAt < nowSeconds - seconds(maxClockDifference).count())
        return refusal(409, "requestedAt is more than 5 minutes behind the daemon's clock");
    // On the daemon's own machine the client's clock is the daemon's; pinches dated far ahead
    // would only fill the set of those remembered.
    if (request.requestedAt > nowSeconds + seconds(maxClockAhead).count())
        return refusal(409, "requestedAt is more than 10 seconds ahead of the daemon's clock");
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
    return {.body = encodeDaemonResponse(
                signedAnswer(request, std::get<ModelAnswer>(answer), key, timestamp.count()))};
}

DaemonResponse signedAnswer(const PinchRequest& request, const SigningKey& key,
                            std::int64_t latencyMs, std::int64_t timestampMs) {
    return signedAnswer(request,
                        {.text = "Demo daemon received: \"" + request.prompt + "\"",
                         .modelVersion = "demo-1",
                         .latency = std::chrono::milliseconds(latencyMs)},
                        key, timestampMs);
}

DaemonResponse signedAnswer(const PinchRequest& request, const ModelAnswer& model,
                            const SigningKey& key, std::int64_t timestampMs) {
    ensureSodium();
    DaemonResponse answer{.response = model.text,
                          .latencyMs = model.latency.count(),
                          .modelVersion = model.modelVersion,
                          .promptHash = sha256Hex(request.prompt),
                          .timestamp = timestampMs,
                          .pinchId = request.pinchId,
                          .bPubKey = request.bPubKey,
                          .aPubKey = hex(key.publicKey()),
                          .aSig = {}};
    answer.aSig = hex(key.sign(canonicalEncode(signingPayloadOf(answer))));
    return answer;
}

std::string encodeDaemonResponse(const DaemonResponse& response) {
    return json{{"response", response.response},
                {"latencyMs", response.latencyMs},
                {"modelVersion", response.modelVersion},
                {"promptHash", response.promptHash},
                {"timestamp", response.timestamp},
                {"pinchId", response.pinchId},
                {"bPubKey", response.bPubKey},
                {"aPubKey", response.aPubKey},
                {"aSig", response.aSig}}
        .dump();
}

} // namespace vorlund
