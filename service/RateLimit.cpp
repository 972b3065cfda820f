#include "RateLimit.h"

namespace backupservice {

namespace {

// The key that keys no longer remembered share.
const std::string kSharedKey;

}  // namespace

bool RateLimit::allow(const std::string& key, Clock::time_point now, uint64_t* heldBack) {
    std::lock_guard<std::mutex> lock(mutex_);
    Entry& found = entry(key, now);
    if (found.last != Clock::time_point() && now - found.last < interval_) {
        ++found.heldBack;
        return false;
    }
    *heldBack = found.heldBack;
    found.heldBack = 0;
    found.last = now;
    return true;
}

RateLimit::Entry& RateLimit::entry(const std::string& key, Clock::time_point now) {
    auto found = entries_.find(key);
    if (found != entries_.end()) return found->second;
    if (remembered() >= keys_) {
        // Keys quiet for a whole interval are forgotten, with their count.
        for (auto it = entries_.begin(); it != entries_.end();) {
            it = now - it->second.last >= interval_ ? entries_.erase(it) : std::next(it);
        }
    }
    return entries_[remembered() >= keys_ ? kSharedKey : key];
}

size_t RateLimit::remembered() const { return entries_.size() - entries_.count(kSharedKey); }

}  // namespace backupservice
