#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vorlund {

// One line for a pinch, for the journal: the time in UTC, the pinch id (or "-" where the body
// named none), the status, and how long the model took where one was asked, such as
// "2026-12-08T10:15:02Z 0190f5e2-8c3a-7b21-9d4e-5f6a7b8c9d0e 200 model 812 ms\n". The id comes
// from the client, so only printable ASCII of it is written, and no more than 64 characters.
// Never the prompt or the answer.
std::string pinchLogLine(std::chrono::system_clock::time_point at, std::string_view pinchId,
                         int status, std::optional<std::chrono::milliseconds> modelTook);

} // namespace vorlund
