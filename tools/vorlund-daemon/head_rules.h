#pragma once

#include "pinch_answer.h"

#include "protocol/limits.h"

#include <httplib.h>

#include <cstddef>
#include <optional>

namespace vorlund {

// The refusal of a request on its head alone, before its body is read; nothing if the body may
// be read. A web page in the user's browser reaches 127.0.0.1 too: without asking first if it
// posts text/plain, and after a DNS rebinding with its own host name in Host. Neither gets
// past these rules, and neither does a body too large to hold.
std::optional<DaemonReply> refusalOfHead(const httplib::Request& request, int port);

} // namespace vorlund
