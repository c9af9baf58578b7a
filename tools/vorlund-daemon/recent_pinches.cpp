#include "recent_pinches.h"

#include <sodium.h>

#include <algorithm>

namespace vorlund {

namespace {

// 128 bits: no two ids collide by chance, and finding two that do is out of reach.
std::string digestOf(const std::string& pinchId) {
    std::string digest(16, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()), digest.size(),
                       reinterpret_cast<const unsigned char*>(pinchId.data()), pinchId.size(),
                       nullptr, 0);
    return digest;
}

} // namespace

RecentPinches::Verdict RecentPinches::remember(const std::string& pinchId, std::int64_t requestedAt,
                                               std::int64_t now) {
    const std::lock_guard lock(mutex_);
    // Those older than the window would be refused for their time anyway.
    const std::int64_t window = std::chrono::seconds(maxClockDifference).count();
    while (!byTime_.empty() && byTime_.begin()->first < now - window)
        forget(byTime_.begin());
    const std::string digest = digestOf(pinchId);
    if (ids_.contains(digest))
        return Verdict::answeredAlready;
    if (requestedAt <= forgottenUpTo_)
        return Verdict::tooOldToTell;
    while (byTime_.size() >= capacity_) {
        forgottenUpTo_ = std::min(byTime_.begin()->first, now);
        forget(byTime_.begin());
    }
    byTime_.emplace(requestedAt, digest);
    ids_.insert(digest);
    return Verdict::firstSeen;
}

void RecentPinches::forget(std::set<std::pair<std::int64_t, std::string>>::iterator oldest) {
    ids_.erase(oldest->second);
    byTime_.erase(oldest);
}

} // namespace vorlund
