#pragma once

#include "json_members.h"
#include "records.h"

#include <string>
#include <string_view>

namespace vorlund {

// The request body as compact JSON. Throws nlohmann::json::exception for text that is not
// valid UTF-8.
std::string encodePinchRequest(const PinchRequest& request);

// Strict decoding: all nine keys required (case-sensitive), no nulls, strings must be
// strings, latencyMs and timestamp whole numbers within signed 64 bits in any JSON spelling
// (42, 42.0, 4.2e1); unknown keys ignored, nesting bounded by maxJsonDepth. The first bad
// field in declaration order is the one reported. Throws DecodeError.
DaemonResponse decodeDaemonResponse(std::string_view body);

} // namespace vorlund
