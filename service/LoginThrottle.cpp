#include "LoginThrottle.h"

#include <algorithm>

namespace backupservice {

LoginThrottle::LoginThrottle(unsigned int maxFailures, Clock::duration window, size_t maxAddresses)
    : maxFailures_(maxFailures), window_(window), maxAddresses_(std::max<size_t>(maxAddresses, 1)) {}

bool LoginThrottle::expired(const Failures& failures, Clock::time_point now) const {
    return now - failures.windowStart >= window_;
}

LoginThrottle::Verdict LoginThrottle::check(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = failures_.find(address);
    if (found == failures_.end()) {
        // A new address could not be remembered if it failed: fail closed.
        if (failures_.size() < maxAddresses_) return Verdict::Allowed;
        forgetExpired(now);
        const bool room = failures_.size() < maxAddresses_ || oldestCounting() != failures_.end();
        return room ? Verdict::Allowed : Verdict::Full;
    }
    if (expired(found->second, now)) {
        failures_.erase(found);
        return Verdict::Allowed;
    }
    return found->second.count < maxFailures_ ? Verdict::Allowed : Verdict::ShutOut;
}

void LoginThrottle::failed(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = failures_.find(address);
    if (found == failures_.end()) {
        if (failures_.size() >= maxAddresses_ && !makeRoom(now)) return;
        found = failures_.emplace(address, Failures{now, 0}).first;
    } else if (expired(found->second, now)) {
        found->second = Failures{now, 0};
    }
    ++found->second.count;
}

void LoginThrottle::succeeded(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.erase(address);
}

void LoginThrottle::forgetExpired(Clock::time_point now) {
    for (auto it = failures_.begin(); it != failures_.end();) {
        it = expired(it->second, now) ? failures_.erase(it) : std::next(it);
    }
}

LoginThrottle::Table::iterator LoginThrottle::oldestCounting() {
    auto oldest = failures_.end();
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->second.count < maxFailures_ &&
            (oldest == failures_.end() || it->second.windowStart < oldest->second.windowStart))
            oldest = it;
    }
    return oldest;
}

bool LoginThrottle::makeRoom(Clock::time_point now) {
    forgetExpired(now);
    if (failures_.size() < maxAddresses_) return true;
    const auto oldest = oldestCounting();
    if (oldest == failures_.end()) return false;
    failures_.erase(oldest);
    return true;
}

}  // namespace backupservice
