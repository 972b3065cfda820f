// The HTTP side of the service: a libmicrohttpd daemon that answers backup
// downloads and logs each request.
// It applies the limits of Limits.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <microhttpd.h>

#include "Accounts.h"
#include "HeaderDeadline.h"
#include "Limits.h"
#include "LoginThrottle.h"
#include "Options.h"
#include "RequestLog.h"
#include "Snapshot.h"

namespace backupservice {

struct ServiceConfig {
    ListenAddress listen;
    std::string database;
    std::string snapshotDirectory;
    std::vector<Account> accounts;
};

class HttpServer {
public:
    HttpServer(ServiceConfig config, RequestLog& log);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts serving on libmicrohttpd's threads. Throws
    // std::runtime_error when the address cannot be used.
    void start();
    // The bound port; the chosen one when the configured port is 0.
    uint16_t port() const { return port_; }
    // Stops accepting and waits for running requests to end; snapshots
    // still being copied are stopped.
    void stop();

private:
    struct RequestState;

    static MHD_Result handleRequest(void* cls, MHD_Connection* connection, const char* url,
                                    const char* method, const char* version,
                                    const char* uploadData, size_t* uploadDataSize,
                                    void** state);
    static void requestCompleted(void* cls, MHD_Connection* connection, void** state,
                                 MHD_RequestTerminationCode reason);

    static void connectionChanged(void* cls, MHD_Connection* connection, void** socketContext,
                                  MHD_ConnectionNotificationCode code);

    MHD_Result respond(MHD_Connection* connection, RequestState& state);
    MHD_Result retrieveDatabase(MHD_Connection* connection, RequestState& state);
    MHD_Result refuseLogin(MHD_Connection* connection, RequestState& state, unsigned int status,
                           const char* reason);
    MHD_Result sendSnapshot(MHD_Connection* connection, RequestState& state);

    ServiceConfig config_;
    AccountBook accounts_;
    RequestLog& log_;
    LoginThrottle throttle_;
    SnapshotPool snapshots_;
    std::unique_ptr<HeaderDeadline> headerDeadline_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
};

}  // namespace backupservice
