#pragma once

#include "records.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace vorlund {

// The request body as compact JSON. Throws nlohmann::json::exception for text that is not
// valid UTF-8.
std::string encodePinchRequest(const PinchRequest& request);

// Why an answer body is not a DaemonResponse; the message names the key and the fault,
// for example: key "aSig" is missing.
class DecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Strict decoding: all nine keys required (case-sensitive), no nulls, strings must be
// strings, latencyMs and timestamp integers within signed 64 bits; unknown keys ignored.
// The first bad field in declaration order is the one reported.
DaemonResponse decodeDaemonResponse(std::string_view body);

} // namespace vorlund
