#include "json_codec.h"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <limits>

namespace vorlund {

namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 9> answerKeys{"response",   "latencyMs", "modelVersion",
                                                     "promptHash", "timestamp", "pinchId",
                                                     "bPubKey",    "aPubKey",   "aSig"};

[[noreturn]] void fail(const char* key, const char* fault) {
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

// The parser keeps non-negative integers as unsigned and turns integers too large for either
// 64-bit type into floating point, so both of those need a range check here. A floating-point
// value of -2^63 or below counts as out of range: -9223372036854775809 arrives as exactly -2^63.
std::int64_t integerField(JsonMembers& members, const char* key) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr double twoToThe63 = 9223372036854775808.0;
    const json& value = presentMember(members, key).value;
    if (value.is_number_unsigned()) {
        if (value.get<std::uint64_t>() > static_cast<std::uint64_t>(max))
            fail(key, "is outside the signed 64-bit range");
        return value.get<std::int64_t>();
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (number >= twoToThe63 || number <= -twoToThe63)
            fail(key, "is outside the signed 64-bit range");
    }
    fail(key, "is not an integer");
}

} // namespace

std::string encodePinchRequest(const PinchRequest& request) {
    return json{{"bPubKey", request.bPubKey}, {"bSig", request.bSig},
                {"costCap", request.costCap}, {"pinchId", request.pinchId},
                {"prompt", request.prompt},   {"requestedAt", request.requestedAt}}
        .dump();
}

DaemonResponse decodeDaemonResponse(std::string_view body) {
    std::optional<JsonMembers> members = objectMembers(body, answerKeys);
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
