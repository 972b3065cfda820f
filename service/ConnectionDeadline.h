// Deadlines and slots that keep slow or idle connections from holding out
// others. The library only times out a connection that stays silent; one
// that sends a byte now and then, or takes one now and then, would be kept
// open for ever. This closes a connection whose request line (over HTTPS,
// after its TLS handshake) has not arrived within the handshake deadline
// after it was accepted, one whose request has not arrived in full within
// the request deadline, and one whose reply stalls: that takes fewer than
// `stallBytes` within `stallLimit`. It also decides which connections are
// served and which only get a 'busy' reply (see Limits.h), closing the
// oldest unfinished connections to make room for new ones.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Status.h"

namespace backupservice {

class ConnectionDeadline {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        Clock::duration handshake;  // until the request line
        Clock::duration request;    // until the whole request
        Clock::duration stall;
        uint64_t stallBytes;
        unsigned int served;                // connections served at once
        unsigned int servedPerAddress;      // of those, from one address
        unsigned int unfinishedPerAddress;  // without their whole request for over the grace, from one address
        Clock::duration unfinishedGrace;
        unsigned int busy;  // connections kept only to answer 'busy'
    };
    // What a new connection gets: served, only a 'busy' reply, or closed at once.
    enum class Admission { Serve, Busy, Refuse };
    // Why this closed a connection, if it did.
    enum class Closer { None, RequestDeadline, StallDeadline, Limit };

    // Starts the watching thread.
    explicit ConnectionDeadline(const Limits& limits);
    // Stops the watching thread; connections still watched are left alone.
    ~ConnectionDeadline();
    ConnectionDeadline(const ConnectionDeadline&) = delete;
    ConnectionDeadline& operator=(const ConnectionDeadline&) = delete;

    struct Watch;
    // Decides for a connection from `client` about to be accepted, and closes
    // those that must make room for it: the oldest unfinished one of its
    // address when that holds all the unfinished ones past the grace it may;
    // when every
    // slot is taken, the oldest unfinished one of any address; when it can
    // only be answered 'busy' and every busy place is taken, the oldest
    // unfinished busy one. A trusted `proxy`'s connections are held only to
    // the total, not to the per-address limit: that applies to each client
    // behind it once its request names the client (see ClientRequests).
    Admission admit(const std::string& client, bool proxy);
    // Starts the handshake clock for a connection from `client` just accepted
    // on `socket`, admitted as `admission`, and sets *watch, which closed()
    // releases. Fails, leaving *watch alone, when the connection cannot be
    // watched.
    Status accepted(int socket, const std::string& client, Admission admission, Watch** watch);
    // The request line is in: the request deadline applies from now on.
    void requestLineReceived(Watch* watch);
    // The request is in and being answered: no deadline applies until
    // replying().
    void requestReceived(Watch* watch);
    // The reply is queued; `sent` counts the bytes handed to the connection,
    // which must grow by the stall bytes within every stall limit.
    void replying(Watch* watch, std::shared_ptr<const std::atomic<uint64_t>> sent);
    // Whether the connection was admitted only for a 'busy' reply.
    bool isBusy(Watch* watch);
    // Why this closed the connection, if it did. Valid until closed().
    Closer closer(Watch* watch);
    // Whether anything has been sent to the peer (a reply, or a TLS
    // handshake). Valid until closed().
    bool peerWasAnswered(Watch* watch);
    // The connection is gone: releases the watch.
    void closed(Watch* watch);

private:
    // The watching thread's body.
    void run();
    void watchUntilStopped();
    // The rest are called with mutex_ held.
    void check(Watch& watch, Clock::time_point now);
    // Shuts the connection down; its thread then sees the peer gone.
    void cut(Watch& watch, Closer closer);
    // Connections still open that `select` chooses.
    unsigned int count(const std::function<bool(const Watch&)>& select) const;
    // Closes the oldest connection not yet with its whole request that
    // `select` chooses; false when there is none.
    bool cutOldestUnfinished(const std::function<bool(const Watch&)>& select);

    const Limits limits_;
    std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    std::map<Watch*, std::unique_ptr<Watch>> watches_;
    std::thread thread_;
};

}  // namespace backupservice
