#pragma once

#include "json_members.h"
#include "records.h"

#include <string>
#include <string_view>

namespace vorlund {

// Both directions decode strictly and alike: every key required (case-sensitive), no nulls,
// strings must be strings, integers whole numbers within signed 64 bits in any JSON spelling
// (42, 42.0, 4.2e1); unknown keys are ignored and only the record's own members are kept while
// parsing. The first bad field in declaration order is the one reported, in one plain line.
// Encoding throws nlohmann::json::exception for text that is not valid UTF-8.

std::string encodePinchRequest(const PinchRequest& request);
// Also: bPubKey 64 and bSig 128 hex digits, in either case; nesting within maxRequestDepth.
// Throws DecodeError.
PinchRequest decodePinchRequest(std::string_view body);

std::string encodeDaemonResponse(const DaemonResponse& response);
// Nesting within maxAnswerDepth. Throws DecodeError.
DaemonResponse decodeDaemonResponse(std::string_view body);

} // namespace vorlund
