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
    // `maxAddresses` addresses are remembered. To make room, an address whose
    // window has passed is forgotten first, then the one still counting whose
    // window began first; an address that is shut out never is.
    LoginThrottle(unsigned int maxFailures, Clock::duration window, size_t maxAddresses);

    enum class Verdict {
        Allowed,
        ShutOut,  // the address failed too often within its window
        Full,     // a new address, while every address remembered is shut out
    };
    // Whether the address may try a password now.
    Verdict check(const std::string& address, Clock::time_point now);
    void failed(const std::string& address, Clock::time_point now);
    // A good login clears the address's failures.
    void succeeded(const std::string& address);

private:
    struct Failures {
        Clock::time_point windowStart;
        unsigned int count = 0;
    };
    using Table = std::map<std::string, Failures>;
    // These are called with mutex_ held.
    bool expired(const Failures& failures, Clock::time_point now) const;
    void forgetExpired(Clock::time_point now);
    // The address still counting whose window began first; end() if none.
    Table::iterator oldestCounting();
    // Makes room for one more address; false when every one is shut out.
    bool makeRoom(Clock::time_point now);

    const unsigned int maxFailures_;
    const Clock::duration window_;
    const size_t maxAddresses_;
    std::mutex mutex_;
    Table failures_;
};

}  // namespace backupservice
