#include "json_codec.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace vorlund {

namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 6> requestKeys{"bPubKey", "bSig",   "costCap",
                                                      "pinchId", "prompt", "requestedAt"};
constexpr std::array<std::string_view, 9> answerKeys{"response",   "latencyMs", "modelVersion",
                                                     "promptHash", "timestamp", "pinchId",
                                                     "bPubKey",    "aPubKey",   "aSig"};

[[noreturn]] void fail(const char* key, const std::string& fault) {
    throw DecodeError(std::string("key \"") + key + "\" " + fault);
}

JsonMember& presentMember(JsonMembers& members, const char* key) {
    const auto found = members.find(key);
    if (found == members.end())
        fail(key, "is missing");
    if (found->second.value.is_null())
        fail(key, "is null");
    return found->second;
}

std::string stringField(JsonMembers& members, const char* key) {
    json& value = presentMember(members, key).value;
    if (!value.is_string())
        fail(key, "is not a string");
    return std::move(value.get_ref<std::string&>());
}

// A key as the request carries it: exactly `digits` hex digits, in either case.
std::string hexField(JsonMembers& members, const char* key, std::size_t digits) {
    std::string text = stringField(members, key);
    if (text.size() != digits || text.find_first_not_of("0123456789abcdefABCDEF") != text.npos)
        fail(key, "is not " + std::to_string(digits) + " hex digits");
    return text;
}

// A number written with a fraction or an exponent, read from its text: the double the parser
// made of it may have rounded a fraction away (1.0000000000000000001) or a tiny value to 0
// (1e-400), and neither is a whole number.
std::int64_t wholeNumber(std::string_view text, const char* key) {
    const bool negative = text.starts_with('-');
    text.remove_prefix(negative);
    std::int64_t exponent = 0;
    if (const auto e = text.find_first_of("eE"); e != text.npos) {
        std::string_view digits = text.substr(e + 1);
        const bool down = digits.starts_with('-');
        digits.remove_prefix(down || digits.starts_with('+'));
        // Beyond any body's length in digits, a larger exponent changes no outcome.
        for (const char digit : digits)
            exponent = std::min<std::int64_t>(exponent * 10 + (digit - '0'), 1'000'000'000);
        exponent = down ? -exponent : exponent;
        text = text.substr(0, e);
    }
    const std::size_t point = std::min(text.find('.'), text.size());
    std::string digits(text.substr(0, point));
    digits += text.substr(std::min(point + 1, text.size()));
    const std::size_t first = digits.find_first_not_of('0');
    if (first == digits.npos)
        return 0;
    digits.erase(digits.find_last_not_of('0') + 1).erase(0, first);
    // How many of the significant digits stand before the decimal point.
    const std::int64_t wholeDigits = std::int64_t(point) + exponent - std::int64_t(first);
    if (wholeDigits < std::int64_t(digits.size()))
        fail(key, "is not an integer");
    if (wholeDigits > std::numeric_limits<std::int64_t>::digits10 + 1)
        fail(key, "is outside the signed 64-bit range");
    digits.resize(std::size_t(wholeDigits), '0');
    const std::uint64_t magnitude = std::stoull(digits); // 19 digits at most: it fits
    if (magnitude > std::uint64_t(std::numeric_limits<std::int64_t>::max()) + negative)
        fail(key, "is outside the signed 64-bit range");
    return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

// The parser keeps non-negative integers as unsigned and turns integers too large for either
// 64-bit type into floating point, with their text.
std::int64_t integerField(JsonMembers& members, const char* key) {
    const JsonMember& member = presentMember(members, key);
    const json& value = member.value;
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
            fail(key, "is outside the signed 64-bit range");
        return value.get<std::int64_t>();
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float())
        return wholeNumber(member.numberText, key);
    fail(key, "is not an integer");
}

} // namespace

std::string encodePinchRequest(const PinchRequest& request) {
    return json{{"bPubKey", request.bPubKey}, {"bSig", request.bSig},
                {"costCap", request.costCap}, {"pinchId", request.pinchId},
                {"prompt", request.prompt},   {"requestedAt", request.requestedAt}}
        .dump();
}

PinchRequest decodePinchRequest(std::string_view body) {
    std::optional<JsonMembers> members = objectMembers(body, requestKeys, maxRequestDepth);
    if (!members)
        throw DecodeError("the body is not a JSON object");
    return PinchRequest{
        hexField(*members, "bPubKey", 64), hexField(*members, "bSig", 128),
        integerField(*members, "costCap"), stringField(*members, "pinchId"),
        stringField(*members, "prompt"),   integerField(*members, "requestedAt"),
    };
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

DaemonResponse decodeDaemonResponse(std::string_view body) {
    std::optional<JsonMembers> members = objectMembers(body, answerKeys, maxAnswerDepth);
    if (!members)
        throw DecodeError("the answer is not a JSON object");
    // A braced initialiser evaluates left to right, so the fields are read in declaration
    // order and the first bad one is the one reported.
    return DaemonResponse{
        stringField(*members, "response"),     integerField(*members, "latencyMs"),
        stringField(*members, "modelVersion"), stringField(*members, "promptHash"),
        integerField(*members, "timestamp"),   stringField(*members, "pinchId"),
        stringField(*members, "bPubKey"),      stringField(*members, "aPubKey"),
        stringField(*members, "aSig"),
    };
}

} // namespace vorlund
