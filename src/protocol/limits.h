#pragma once

#include <chrono>
#include <cstddef>
#include <string_view>

namespace vorlund {

// Where a daemon listens unless told otherwise, and the path it serves pinches on.
inline constexpr std::string_view defaultDaemonHost = "127.0.0.1";
inline constexpr int defaultDaemonPort = 7575;
inline constexpr std::string_view pinchPath = "/pinch";

// A request is a few keys and a prompt; a daemon reads no more of a body than this.
inline constexpr std::size_t maxRequestBodyBytes = 1024 * 1024;
// How far a request's requestedAt may stand behind the daemon's clock (the daemon allows far
// less ahead of it).
inline constexpr std::chrono::minutes maxClockDifference{5};

// The client reads no more of an answer than this, and waits no longer for one.
inline constexpr std::size_t maxAnswerBodyBytes = 16 * 1024 * 1024;
inline constexpr std::chrono::seconds exchangeTimeout{60};

} // namespace vorlund
