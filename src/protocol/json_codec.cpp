#include "json_codec.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>

namespace vorlund {

namespace {

using nlohmann::json;

[[noreturn]] void fail(const char* key, const char* fault) {
    throw DecodeError(std::string("key \"") + key + "\" " + fault);
}

// The library prefixes its messages with an identifier such as "[json.exception.parse_error.101]";
// the user only needs what follows.
std::string reasonOf(const json::exception& error) {
    const std::string_view text = error.what();
    const auto end = text.find("] ");
    return std::string(text.starts_with('[') && end != text.npos ? text.substr(end + 2) : text);
}

json parseBody(std::string_view body) {
    // The parser would skip a byte-order mark silently; the protocol's bodies never carry one.
    if (body.starts_with("\xEF\xBB\xBF"))
        throw DecodeError("invalid JSON: the body starts with a byte-order mark");
    // The parser takes a NUL byte for the end of its input and would ignore what follows.
    // JSON text never holds a raw NUL, so any NUL makes the body invalid.
    if (const auto nul = body.find('\0'); nul != body.npos)
        throw DecodeError("invalid JSON: NUL byte at offset " + std::to_string(nul));
    try {
        return json::parse(body.begin(), body.end());
    } catch (const json::exception& error) {
        throw DecodeError("invalid JSON: " + reasonOf(error));
    }
}

const json& presentValue(const json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end())
        fail(key, "is missing");
    if (found->is_null())
        fail(key, "is null");
    return *found;
}

std::string stringField(const json& object, const char* key) {
    const json& value = presentValue(object, key);
    if (!value.is_string())
        fail(key, "is not a string");
    return value.get<std::string>();
}

// The parser keeps non-negative integers as unsigned and turns integers too large for either
// 64-bit type into floating point, so both of those need a range check here. A floating-point
// value of -2^63 or below counts as out of range: -9223372036854775809 arrives as exactly -2^63.
std::int64_t integerField(const json& object, const char* key) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr double twoToThe63 = 9223372036854775808.0;
    const json& value = presentValue(object, key);
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
    const json document = parseBody(body);
    if (!document.is_object())
        throw DecodeError("the answer is not a JSON object");
    // A braced initialiser evaluates left to right, so the fields are read in declaration
    // order and the first bad one is the one reported.
    return DaemonResponse{
        stringField(document, "response"),     integerField(document, "latencyMs"),
        stringField(document, "modelVersion"), stringField(document, "promptHash"),
        integerField(document, "timestamp"),   stringField(document, "pinchId"),
        stringField(document, "bPubKey"),      stringField(document, "aPubKey"),
        stringField(document, "aSig"),
    };
}

} // namespace vorlund
