// A deadline for the whole request header. libmicrohttpd only times out a
// connection that stays silent; one that sends a header line now and then
// would be kept open for ever. This closes any connection whose header has
// not arrived in full within the deadline after it was accepted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace backupservice {

class HeaderDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the watching thread.
    explicit HeaderDeadline(Clock::duration limit);
    // Stops the watching thread; connections still watched are left alone.
    ~HeaderDeadline();
    HeaderDeadline(const HeaderDeadline&) = delete;
    HeaderDeadline& operator=(const HeaderDeadline&) = delete;

    struct Watch;
    // Starts the clock for a connection just accepted on `socket`. The
    // returned watch is released by closed(); null when it cannot be watched.
    Watch* accepted(int socket);
    // The header is complete: the deadline no longer applies.
    void headerReceived(Watch* watch);
    // The connection is gone: releases the watch.
    void closed(Watch* watch);

private:
    void run();
    void endWatch(Watch* watch, bool shutDown);

    const Clock::duration limit_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::set<Watch*> watches_;
    std::thread thread_;
};

}  // namespace backupservice
