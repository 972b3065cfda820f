// The HTTP side of the service: a libmicrohttpd daemon that answers backup
// downloads, over HTTPS when it has a certificate, and logs each request,
// also those the library refuses by itself.
// It applies the limits of Limits.h.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <microhttpd.h>
#include <sys/socket.h>

#include "Accounts.h"
#include "ClientRequests.h"
#include "ConnectionDeadline.h"
#include "FileDescriptor.h"
#include "Limits.h"
#include "LoginThrottle.h"
#include "Options.h"
#include "RateLimit.h"
#include "RequestLog.h"
#include "SnapshotPool.h"
#include "Status.h"
#include "TrustedProxies.h"

namespace backupservice {

struct ServiceConfig {
    ListenAddress listen;
    std::string database;
    std::string snapshotDirectory;
    std::vector<Account> accounts;
    unsigned int stallSeconds = kDefaultStallSeconds;
    bool verify = true;  // quick_check each copy
    // PEM texts; both empty for plain HTTP.
    std::string tlsCertificate;
    std::string tlsKey;
    // Peers whose X-Forwarded-For names the client (--trusted-proxy).
    TrustedProxies trustedProxies;
};

class HttpServer {
public:
    HttpServer(ServiceConfig config, RequestLog& log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Whether the library was built with TLS.
    static bool supportsTls();

    // Binds and starts serving on libmicrohttpd's threads. Fails when the
    // address cannot be used or TLS cannot be set up with the certificate
    // and key (the library's own message has then gone to standard error).
    Status start();
    // The bound port; the chosen one when the configured port is 0.
    uint16_t port() const { return port_; }
    // Closes the listening socket: new connections are refused, those
    // already accepted go on.
    void stopAccepting();
    // Connections accepted and not yet closed.
    unsigned int openConnections() const { return openConnections_; }
    // Cuts every connection, stops the copies still running (their files go
    // with them) and waits for the library's threads.
    void stop();

private:
    struct RequestState;
    struct ConnectionState;
    struct LibraryReply {
        unsigned int status = 0;
        uint64_t bytes = 0;
    };

    static MHD_Result acceptPolicy(void* cls, const sockaddr* address, socklen_t length);
    static void* requestStarted(void* cls, const char* uri, MHD_Connection* connection);
    static MHD_Result handleRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                    const char* version, const char* uploadData, size_t* uploadDataSize, void** state);
    static void requestCompleted(void* cls, MHD_Connection* connection, void** state,
                                 MHD_RequestTerminationCode reason);
    static void connectionChanged(void* cls, MHD_Connection* connection, void** socketContext,
                                  MHD_ConnectionNotificationCode code);
    static void libraryMessage(void* cls, const char* format, va_list args);

    unsigned int listenAddress(sockaddr_storage& storage) const;
    std::vector<MHD_OptionItem> daemonOptions(const sockaddr_storage& storage);
    void connectionClosed(MHD_Connection* mhdConnection, std::unique_ptr<ConnectionState> connection);
    // Why a connection that closes needs a line of its own in the request
    // log, or null when it needs none.
    const char* closeCause(MHD_Connection* mhdConnection, const ConnectionState& connection);
    // Writes the line, unless `client` has had too many lately.
    void logConnectionEvent(const std::string& client, const char* cause);
    // Writes one of the library's messages to standard error with the time
    // and `client`, at most one a second.
    void printLibraryMessage(const std::string& client, const std::string& text);
    MHD_Result refuseBusy(MHD_Connection* connection, RequestState& state);
    // Takes a place for a request that came through the trusted proxy at
    // `peer` for the client it names; false when that client has all it may.
    // Any other request needs none: its connection was counted when accepted.
    bool placeForwarded(const std::string& peer, RequestState& state);
    MHD_Result respond(MHD_Connection* connection, RequestState& state);
    MHD_Result retrieveDatabase(MHD_Connection* connection, RequestState& state);
    // A header a failure reply adds ("Retry-After", "10"); none when the name is null.
    using Header = std::pair<const char*, std::string>;
    // The Retry-After every 503 'busy' reply carries.
    static Header busyRetry();
    MHD_Result refuseLogin(MHD_Connection* connection, RequestState& state, unsigned int status, const char* reason,
                           const Header& header = {});
    MHD_Result sendSnapshot(MHD_Connection* connection, RequestState& state);
    // Answers with the tagged failure text of `reason`, and `header`.
    MHD_Result fail(MHD_Connection* connection, RequestState& state, unsigned int status, const char* reason,
                    const Header& header = {});

    ServiceConfig config_;
    AccountBook accounts_;
    RequestLog& log_;
    LoginThrottle throttle_;
    std::atomic<bool> throttleFullReported_{false};
    SnapshotPool snapshots_;
    std::unique_ptr<ConnectionDeadline> deadline_;
    std::atomic<unsigned int> openConnections_{0};
    // Requests in progress per client behind a trusted proxy; outlives the
    // daemon, whose requests hold its slots.
    ClientRequests forwardedRequests_;
    // acceptPolicy()'s decision for the connection that the library, on the
    // same thread, notifies next.
    ConnectionDeadline::Admission pendingAdmission_ = ConnectionDeadline::Admission::Serve;
    std::atomic<bool> serving_{false};  // start-up is over
    RateLimit eventLimit_;
    RateLimit messageLimit_;
    // The library's messages from a connection's thread before its request
    // line (its TLS handshake failed, mostly), oldest first, waiting for a
    // connection without a request to close and name the client.
    std::mutex handshakeMessagesMutex_;
    std::deque<std::string> handshakeMessages_;
    // Replies the library made before any request line was read (so without
    // a request of ours), oldest first, waiting for their connection to close.
    std::mutex libraryRepliesMutex_;
    std::deque<LibraryReply> libraryReplies_;
    struct DaemonStopper {
        void operator()(MHD_Daemon* daemon) const { MHD_stop_daemon(daemon); }
    };
    std::unique_ptr<MHD_Daemon, DaemonStopper> daemon_;
    FileDescriptor listenSocket_;  // after stopAccepting(), until stop()
    uint16_t port_ = 0;

    // The request the calling thread serves: libmicrohttpd gives each
    // connection a thread of its own.
    static thread_local RequestState* threadRequest_;
    // Whether the calling thread is the one that accepts connections.
    static thread_local bool acceptThread_;
};

}  // namespace backupservice
