#include "records.h"

namespace vorlund {

ClientSigningPayload signingPayloadOf(const PinchRequest& request) {
    return {request.bPubKey, request.costCap, request.pinchId, request.prompt, request.requestedAt};
}

ServerSigningPayload signingPayloadOf(const DaemonResponse& response) {
    return {response.aPubKey, response.bPubKey,    response.latencyMs, response.modelVersion,
            response.pinchId, response.promptHash, response.response,  response.timestamp};
}

} // namespace vorlund
