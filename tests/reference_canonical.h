#pragma once

// What the canonical form must equal, written the plain way: nlohmann::json's compact dump of
// the payload's members. Throws the library's type_error for text that is not valid UTF-8.

#include "protocol/records.h"

#include <nlohmann/json.hpp>

#include <string>

namespace vorlund::test {

inline std::string referenceCanonical(const ClientSigningPayload& p) {
    return nlohmann::json{{"bPubKey", p.bPubKey},
                          {"costCap", p.costCap},
                          {"pinchId", p.pinchId},
                          {"prompt", p.prompt},
                          {"requestedAt", p.requestedAt}}
        .dump();
}

inline std::string referenceCanonical(const ServerSigningPayload& p) {
    return nlohmann::json{{"aPubKey", p.aPubKey},     {"bPubKey", p.bPubKey},
                          {"latencyMs", p.latencyMs}, {"modelVersion", p.modelVersion},
                          {"pinchId", p.pinchId},     {"promptHash", p.promptHash},
                          {"response", p.response},   {"timestamp", p.timestamp}}
        .dump();
}

} // namespace vorlund::test
