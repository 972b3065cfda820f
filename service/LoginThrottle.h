// Slows down password guessing. Failed logins are counted per pair of
// client address and account, and per client address across accounts: a
// pair that has failed a few times within a window, or an address that has
// failed several times as often with any accounts, is refused, without its
// password being checked, until that window has passed. One mistyped client
// behind a NAT thus shuts out only its own account there, while one address
// still cannot try many accounts.
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

    // `maxFailures` failed logins of one pair, or `maxAddressFailures` of one
    // address, within `window` of the first of them shut the pair or the
    // address out until `window` after that first failure. At most
    // `maxEntries` pairs and as many addresses are remembered. To make room,
    // an entry whose window has passed is forgotten first, then the one still
    // counting whose window began first; one that is shut out never is.
    // Accounts are e-mail addresses and match without regard to ASCII case;
    // only their first 256 bytes count.
    LoginThrottle(unsigned int maxFailures, unsigned int maxAddressFailures, Clock::duration window, size_t maxEntries);

    enum class Verdict {
        Allowed,
        ShutOut,  // the pair or the address failed too often within its window
        Full,     // a new pair or address, while every one remembered is shut out
    };
    // Whether `address` may try a password for `account` now. When it may
    // not, *wait is set to how long until it may.
    Verdict check(const std::string& address, const std::string& account, Clock::time_point now, Clock::duration* wait);
    void failed(const std::string& address, const std::string& account, Clock::time_point now);
    // A good login clears the failures of its pair. Those of the address
    // stay, so that one good account does not clear the guesses at others.
    void succeeded(const std::string& address, const std::string& account);

private:
    // Failures counted per key within a window; not locked by itself.
    class Table {
    public:
        Table(unsigned int maxFailures, Clock::duration window, size_t maxEntries);
        Verdict check(const std::string& key, Clock::time_point now, Clock::duration* wait);
        void failed(const std::string& key, Clock::time_point now);
        void forget(const std::string& key) { failures_.erase(key); }

    private:
        struct Failures {
            Clock::time_point windowStart;
            unsigned int count = 0;
        };
        using Entries = std::map<std::string, Failures>;
        bool expired(const Failures& failures, Clock::time_point now) const;
        void forgetExpired(Clock::time_point now);
        // The entry still counting whose window began first; end() if none.
        Entries::iterator oldestCounting();
        // Makes room for one more entry; false when every one is shut out.
        bool makeRoom(Clock::time_point now);
        // How long until the first window of those remembered passes.
        Clock::duration soonestEnd(Clock::time_point now) const;

        const unsigned int maxFailures_;
        const Clock::duration window_;
        const size_t maxEntries_;
        Entries failures_;
    };

    static std::string pairKey(const std::string& address, const std::string& account);

    std::mutex mutex_;
    Table pairs_;
    Table addresses_;
};

}  // namespace backupservice
