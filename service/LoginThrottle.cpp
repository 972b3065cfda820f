#include "LoginThrottle.h"

#include <algorithm>

namespace backupservice {

LoginThrottle::LoginThrottle(unsigned int maxFailures, unsigned int maxAddressFailures, Clock::duration window,
                             size_t maxEntries)
    : pairs_(maxFailures, window, maxEntries), addresses_(maxAddressFailures, window, maxEntries) {}

namespace {

// No e-mail address is longer; a longer text counts by its first bytes, so
// that a table full of made-up accounts stays small.
constexpr size_t kAccountKeyBytes = 256;

}  // namespace

// Addresses hold no line feed, so the key names one pair.
std::string LoginThrottle::pairKey(const std::string& address, const std::string& account) {
    std::string key = address + '\n';
    for (size_t i = 0; i < account.size() && i < kAccountKeyBytes; ++i) {
        const char c = account[i];
        key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return key;
}

LoginThrottle::Verdict LoginThrottle::check(const std::string& address, const std::string& account,
                                            Clock::time_point now, Clock::duration* wait) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Verdict verdict = addresses_.check(address, now, wait);
    return verdict == Verdict::Allowed ? pairs_.check(pairKey(address, account), now, wait) : verdict;
}

void LoginThrottle::failed(const std::string& address, const std::string& account, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    addresses_.failed(address, now);
    pairs_.failed(pairKey(address, account), now);
}

void LoginThrottle::succeeded(const std::string& address, const std::string& account) {
    std::lock_guard<std::mutex> lock(mutex_);
    pairs_.forget(pairKey(address, account));
}

LoginThrottle::Table::Table(unsigned int maxFailures, Clock::duration window, size_t maxEntries)
    : maxFailures_(maxFailures), window_(window), maxEntries_(std::max<size_t>(maxEntries, 1)) {}

bool LoginThrottle::Table::expired(const Failures& failures, Clock::time_point now) const {
    return now - failures.windowStart >= window_;
}

LoginThrottle::Verdict LoginThrottle::Table::check(const std::string& key, Clock::time_point now,
                                                   Clock::duration* wait) {
    const auto found = failures_.find(key);
    if (found == failures_.end()) {
        // A new key could not be remembered if it failed: fail closed.
        if (failures_.size() < maxEntries_) return Verdict::Allowed;
        forgetExpired(now);
        if (failures_.size() < maxEntries_ || oldestCounting() != failures_.end()) return Verdict::Allowed;
        *wait = soonestEnd(now);
        return Verdict::Full;
    }
    if (expired(found->second, now)) {
        failures_.erase(found);
        return Verdict::Allowed;
    }
    if (found->second.count < maxFailures_) return Verdict::Allowed;
    *wait = found->second.windowStart + window_ - now;
    return Verdict::ShutOut;
}

void LoginThrottle::Table::failed(const std::string& key, Clock::time_point now) {
    auto found = failures_.find(key);
    if (found == failures_.end()) {
        if (failures_.size() >= maxEntries_ && !makeRoom(now)) return;
        found = failures_.emplace(key, Failures{now, 0}).first;
    } else if (expired(found->second, now)) {
        found->second = Failures{now, 0};
    }
    ++found->second.count;
}

void LoginThrottle::Table::forgetExpired(Clock::time_point now) {
    for (auto it = failures_.begin(); it != failures_.end();) {
        it = expired(it->second, now) ? failures_.erase(it) : std::next(it);
    }
}

LoginThrottle::Table::Entries::iterator LoginThrottle::Table::oldestCounting() {
    auto oldest = failures_.end();
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
        if (it->second.count < maxFailures_ &&
            (oldest == failures_.end() || it->second.windowStart < oldest->second.windowStart))
            oldest = it;
    }
    return oldest;
}

bool LoginThrottle::Table::makeRoom(Clock::time_point now) {
    forgetExpired(now);
    if (failures_.size() < maxEntries_) return true;
    const auto oldest = oldestCounting();
    if (oldest == failures_.end()) return false;
    failures_.erase(oldest);
    return true;
}

LoginThrottle::Clock::duration LoginThrottle::Table::soonestEnd(Clock::time_point now) const {
    Clock::duration soonest = window_;
    for (const auto& entry : failures_) soonest = std::min(soonest, entry.second.windowStart + window_ - now);
    return soonest;
}

}  // namespace backupservice
