#pragma once

#include "protocol/limits.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>

namespace vorlund {

// How far a pinch's requestedAt may be ahead of the daemon's clock.
constexpr std::chrono::seconds maxClockAhead{10};

// The pinches answered lately, so that one answered already is not answered again. A pinch is
// kept until its requestedAt is further than maxClockDifference in the past, and at most
// `capacity` of them are kept: when more come, the oldest are forgotten, and a pinch no newer
// than one forgotten is no longer taken, since it might be a repeat. That cut-off never passes
// now, so that pinches dated ahead cannot lock out those sent later. Each is kept as a digest
// of its id, whatever the id's length. Safe to use from several threads.
class RecentPinches {
public:
    enum class Verdict { firstSeen, answeredAlready, tooOldToTell };

    explicit RecentPinches(std::size_t capacity) : capacity_(capacity) {}

    // Remembers the pinch if it is seen first; now and requestedAt in seconds since the epoch.
    Verdict remember(const std::string& pinchId, std::int64_t requestedAt, std::int64_t now);

private:
    void forget(std::set<std::pair<std::int64_t, std::string>>::iterator oldest);

    const std::size_t capacity_;
    std::mutex mutex_;
    std::set<std::pair<std::int64_t, std::string>> byTime_; // requestedAt, digest
    std::unordered_set<std::string> ids_;
    std::int64_t forgottenUpTo_ = INT64_MIN;
};

} // namespace vorlund
