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
#include "ConnectionDeadline.h"
#include "FileDescriptor.h"
#include "Limits.h"
#include "LoginThrottle.h"
#include "Options.h"
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
    void connectionClosed(std::unique_ptr<ConnectionState> connection);
    MHD_Result respond(MHD_Connection* connection, RequestState& state);
    MHD_Result retrieveDatabase(MHD_Connection* connection, RequestState& state);
    // A header a failure reply adds ("Retry-After", "10"); none when the name is null.
    using Header = std::pair<const char*, std::string>;
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
};

}  // namespace backupservice
