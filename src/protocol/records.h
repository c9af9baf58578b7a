#pragma once

#include <cstdint>
#include <string>

namespace vorlund {

// The request body the client POSTs.
struct PinchRequest {
    std::string bPubKey;
    std::string bSig;
    std::int64_t costCap = 0;
    std::string pinchId;
    std::string prompt;
    std::int64_t requestedAt = 0;
    bool operator==(const PinchRequest&) const = default;
};

// What the client signs: the request without its signature.
struct ClientSigningPayload {
    std::string bPubKey;
    std::int64_t costCap = 0;
    std::string pinchId;
    std::string prompt;
    std::int64_t requestedAt = 0;
    bool operator==(const ClientSigningPayload&) const = default;
};

// The daemon's answer body, in the order its fields are decoded.
struct DaemonResponse {
    std::string response;
    std::int64_t latencyMs = 0;
    std::string modelVersion;
    std::string promptHash;
    std::int64_t timestamp = 0;
    std::string pinchId;
    std::string bPubKey;
    std::string aPubKey;
    std::string aSig;
    bool operator==(const DaemonResponse&) const = default;
};

// What the daemon signs: the answer without its signature.
struct ServerSigningPayload {
    std::string aPubKey;
    std::string bPubKey;
    std::int64_t latencyMs = 0;
    std::string modelVersion;
    std::string pinchId;
    std::string promptHash;
    std::string response;
    std::int64_t timestamp = 0;
    bool operator==(const ServerSigningPayload&) const = default;
};

ClientSigningPayload signingPayloadOf(const PinchRequest& request);
ServerSigningPayload signingPayloadOf(const DaemonResponse& response);

} // namespace vorlund
