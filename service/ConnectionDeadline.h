// Deadlines that keep slow connections from holding their slots. The
// library only times out a connection that stays silent; one that sends a
// byte now and then, or takes one now and then, would be kept open for ever.
// This closes a connection whose request has not arrived in full within the
// request deadline after it was accepted, and one whose reply stalls: that
// takes fewer than `stallBytes` within `stallLimit`.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Status.h"

namespace backupservice {

class ConnectionDeadline {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the watching thread.
    ConnectionDeadline(Clock::duration requestLimit, Clock::duration stallLimit, uint64_t stallBytes);
    // Stops the watching thread; connections still watched are left alone.
    ~ConnectionDeadline();
    ConnectionDeadline(const ConnectionDeadline&) = delete;
    ConnectionDeadline& operator=(const ConnectionDeadline&) = delete;

    struct Watch;
    // Starts the request clock for a connection just accepted on `socket`
    // and sets *watch, which closed() releases. Fails, leaving *watch
    // alone, when the connection cannot be watched.
    Status accepted(int socket, Watch** watch);
    // The request is in and being answered: no deadline applies until
    // replying().
    void requestReceived(Watch* watch);
    // The reply is queued; `sent` counts the bytes handed to the connection,
    // which must grow by the stall bytes within every stall limit.
    void replying(Watch* watch, std::shared_ptr<const std::atomic<uint64_t>> sent);
    // Whether anything has been sent to the peer (a reply, or a TLS
    // handshake). Valid until closed().
    bool peerWasAnswered(Watch* watch);
    // The connection is gone: releases the watch.
    void closed(Watch* watch);

private:
    // The watching thread's body.
    void run();
    void watchUntilStopped();
    // Called with mutex_ held.
    void check(Watch& watch, Clock::time_point now);

    const Clock::duration requestLimit_;
    const Clock::duration stallLimit_;
    const uint64_t stallBytes_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::map<Watch*, std::unique_ptr<Watch>> watches_;
    std::thread thread_;
};

}  // namespace backupservice
