#include "LoginThrottle.h"

#include <algorithm>

namespace backupservice {

LoginThrottle::LoginThrottle(unsigned int maxFailures, Clock::duration window, size_t maxAddresses)
    : maxFailures_(maxFailures), window_(window), maxAddresses_(std::max<size_t>(maxAddresses, 1)) {}

bool LoginThrottle::mayTry(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = failures_.find(address);
    if (found == failures_.end()) return true;
    if (now - found->second.windowStart >= window_) {
        failures_.erase(found);
        return true;
    }
    return found->second.count < maxFailures_;
}

void LoginThrottle::failed(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = failures_.find(address);
    if (found == failures_.end()) {
        if (failures_.size() >= maxAddresses_) forgetOldest();
        found = failures_.emplace(address, Failures{now, 0}).first;
    } else if (now - found->second.windowStart >= window_) {
        found->second = Failures{now, 0};
    }
    ++found->second.count;
}

void LoginThrottle::succeeded(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.erase(address);
}

void LoginThrottle::forgetOldest() {
    const auto oldest = std::min_element(
        failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
            return a.second.windowStart < b.second.windowStart;
        });
    if (oldest != failures_.end()) failures_.erase(oldest);
}

}  // namespace backupservice
