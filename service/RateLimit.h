// Keeps messages that an attacker can cause at will from flooding a log.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace backupservice {

// Lets through at most one event of a key in each interval, and counts those
// held back, which the next event let through reports. Remembers at most
// `keys` keys: while that many have had an event within the interval, new
// keys share one. Thread-safe.
class RateLimit {
public:
    using Clock = std::chrono::steady_clock;

    RateLimit(Clock::duration interval, size_t keys) : interval_(interval), keys_(keys) {}

    // Whether an event of `key` at `now` is let through; if it is, sets
    // *heldBack to the events of its key held back since the last one that
    // was.
    bool allow(const std::string& key, Clock::time_point now, uint64_t* heldBack);

private:
    struct Entry {
        Clock::time_point last;
        uint64_t heldBack = 0;
    };
    // The entry of `key`, made room for when needed; called with mutex_ held.
    Entry& entry(const std::string& key, Clock::time_point now);
    // Keys with an entry of their own.
    size_t remembered() const;

    const Clock::duration interval_;
    const size_t keys_;
    std::mutex mutex_;
    std::map<std::string, Entry> entries_;
};

}  // namespace backupservice
