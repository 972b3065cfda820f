// Slows down password guessing: an address that has failed to log in a few
// times within a window is refused, without its password being checked,
// until that window has passed.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace backupservice {

class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    // `maxFailures` failed logins within `window` of the first of them shut
    // the address out until `window` after that first failure. At most
    // `maxAddresses` addresses are remembered; beyond that the one whose
    // window began first is forgotten.
    LoginThrottle(unsigned int maxFailures, Clock::duration window, size_t maxAddresses);

    // False while the address is shut out.
    bool mayTry(const std::string& address, Clock::time_point now);
    void failed(const std::string& address, Clock::time_point now);
    // A good login clears the address's failures.
    void succeeded(const std::string& address);

private:
    struct Failures {
        Clock::time_point windowStart;
        unsigned int count = 0;
    };
    void forgetOldest();

    const unsigned int maxFailures_;
    const Clock::duration window_;
    const size_t maxAddresses_;
    std::mutex mutex_;
    std::map<std::string, Failures> failures_;
};

}  // namespace backupservice
