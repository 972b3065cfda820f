#include "HttpServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "Routing.h"
#include "Snapshot.h"
#include "SnapshotStream.h"

namespace backupservice {

namespace {

// A slow or stalled client is dropped after this long without progress.
constexpr unsigned int kConnectionTimeoutSeconds = 60;
// Addresses the login throttle remembers at most.
constexpr size_t kThrottledAddresses = 10000;

std::string peerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return "-";
    char text[INET6_ADDRSTRLEN] = "-";
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

// Query values, binary-safe (a password may contain an encoded NUL byte).
bool queryValue(MHD_Connection* connection, const char* key, std::string& value) {
    const char* data = nullptr;
    size_t size = 0;
    if (MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, key, std::strlen(key),
                                      &data, &size) != MHD_YES ||
        !data) {
        return false;
    }
    value.assign(data, size);
    return true;
}

// Every reply closes the connection: the client reads until the server
// closes, so a kept-alive connection would leave it waiting.
MHD_Result queueAndRelease(MHD_Connection* connection, unsigned int status,
                           MHD_Response* response, const char* contentType) {
    if (!response) return MHD_NO;  // out of memory: drop the connection
    // Always close after the reply and never use chunked encoding: the
    // client is an HTTP/1.0 one that reads until the server closes.
    MHD_set_response_options(response, MHD_RF_HTTP_VERSION_1_0_ONLY, MHD_RO_END);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
}

MHD_Result queueText(MHD_Connection* connection, unsigned int status, const std::string& body) {
    return queueAndRelease(
        connection, status,
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                        MHD_RESPMEM_MUST_COPY),
        "text/plain");
}

}  // namespace

struct HttpServer::RequestState {
    RequestRecord record;
    Clock::time_point arrived = Clock::now();
    std::shared_ptr<std::atomic<uint64_t>> sent = std::make_shared<std::atomic<uint64_t>>(0);
};

HttpServer::HttpServer(ServiceConfig config, RequestLog& log)
    : config_(std::move(config)),
      accounts_(config_.accounts),
      log_(log),
      throttle_(kMaxLoginFailures, std::chrono::seconds(kLoginWindowSeconds), kThrottledAddresses),
      snapshots_(config_.database, config_.snapshotDirectory, kMaxSnapshotFiles) {}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
    sockaddr_storage storage{};
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                         MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (config_.listen.ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(config_.listen.port);
        inet_pton(AF_INET6, config_.listen.host.c_str(), &address->sin6_addr);
        flags |= MHD_USE_IPv6;
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(config_.listen.port);
        inet_pton(AF_INET, config_.listen.host.c_str(), &address->sin_addr);
    }

    headerDeadline_ = std::make_unique<HeaderDeadline>(std::chrono::seconds(kHeaderSeconds));
    errno = 0;
    daemon_ = MHD_start_daemon(flags, config_.listen.port, nullptr, nullptr,
                               &HttpServer::handleRequest, this,
                               MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&storage),
                               MHD_OPTION_NOTIFY_COMPLETED, &HttpServer::requestCompleted, this,
                               MHD_OPTION_NOTIFY_CONNECTION, &HttpServer::connectionChanged, this,
                               MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
                               MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
                               MHD_OPTION_END);
    if (!daemon_) {
        const int error = errno;
        throw std::runtime_error("cannot listen on " + config_.listen.text() +
                                 (error ? std::string(": ") + std::strerror(error) : ""));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : config_.listen.port;
}

void HttpServer::stop() {
    if (daemon_) {
        snapshots_.cancelAll();  // downloads still waiting for their copy end at once
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
    headerDeadline_.reset();
}

void HttpServer::connectionChanged(void* cls, MHD_Connection* connection, void** socketContext,
                                   MHD_ConnectionNotificationCode code) {
    HeaderDeadline& deadline = *static_cast<HttpServer*>(cls)->headerDeadline_;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        *socketContext = info ? deadline.accepted(info->connect_fd) : nullptr;
    } else {
        deadline.closed(static_cast<HeaderDeadline::Watch*>(*socketContext));
        *socketContext = nullptr;
    }
}

MHD_Result HttpServer::handleRequest(void* cls, MHD_Connection* connection, const char* url,
                                     const char* method, const char* /*version*/,
                                     const char* /*uploadData*/, size_t* uploadDataSize,
                                     void** state) {
    auto* self = static_cast<HttpServer*>(cls);
    auto* request = static_cast<RequestState*>(*state);
    if (!request) {
        // First call: only the header has arrived. Remember what the log
        // line needs; answer on the next call, once any body has been read.
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info) {
            self->headerDeadline_->headerReceived(
                static_cast<HeaderDeadline::Watch*>(info->socket_context));
        }
        request = new RequestState;
        request->record.client = peerAddress(connection);
        request->record.method = method ? method : "";
        request->record.path = targetPath(url ? url : "");
        *state = request;
        return MHD_YES;
    }
    if (*uploadDataSize != 0) {
        *uploadDataSize = 0;  // no request here carries a body worth reading
        return MHD_YES;
    }
    return self->respond(connection, *request);
}

void HttpServer::requestCompleted(void* cls, MHD_Connection* /*connection*/, void** state,
                                  MHD_RequestTerminationCode reason) {
    auto* self = static_cast<HttpServer*>(cls);
    std::unique_ptr<RequestState> request(static_cast<RequestState*>(*state));
    *state = nullptr;
    if (!request) return;
    request->record.bytes = request->sent->load();
    request->record.complete = reason == MHD_REQUEST_TERMINATED_COMPLETED_OK;
    self->log_.write(request->record);
}

MHD_Result HttpServer::respond(MHD_Connection* connection, RequestState& state) {
    if (routeRequest(state.record.method, state.record.path) == Route::RetrieveDatabase) {
        return retrieveDatabase(connection, state);
    }
    const std::string body = taggedFailure(kReasonNotFound);
    state.record.status = MHD_HTTP_NOT_FOUND;
    *state.sent = body.size();
    return queueText(connection, MHD_HTTP_NOT_FOUND, body);
}

MHD_Result HttpServer::retrieveDatabase(MHD_Connection* connection, RequestState& state) {
    const std::string& client = state.record.client;
    if (!throttle_.mayTry(client, state.arrived)) {
        // Shut out: the password is not even looked at.
        return refuseLogin(connection, state, MHD_HTTP_TOO_MANY_REQUESTS, kReasonTooManyAttempts);
    }
    std::string email;
    std::string password;
    const bool haveEmail = queryValue(connection, "Email", email);
    const bool havePassword = queryValue(connection, "Password", password);
    const bool allowed = accounts_.verify(email, password) && haveEmail && havePassword;
    // Wipe our copy of the password as soon as it has been used.
    std::fill(password.begin(), password.end(), '\0');
    if (!allowed) {
        throttle_.failed(client, state.arrived);
        // Refused logins are answered with 200 and the tagged reason, which
        // is what backup clients look for in the body.
        return refuseLogin(connection, state, MHD_HTTP_OK, kReasonInvalidCredentials);
    }
    throttle_.succeeded(client);
    return sendSnapshot(connection, state);
}

MHD_Result HttpServer::refuseLogin(MHD_Connection* connection, RequestState& state,
                                   unsigned int status, const char* reason) {
    const std::string body = taggedFailure(reason);
    state.record.status = status;
    state.record.refused = true;
    *state.sent = body.size();
    return queueText(connection, status, body);
}

// Waits, at most until kAnswerSeconds after the request arrived, for a
// snapshot that holds the database as the request found it (or later) to
// become streamable; then streams it, or answers why it cannot.
MHD_Result HttpServer::sendSnapshot(MHD_Connection* connection, RequestState& state) {
    const char* reason = kReasonUnavailable;
    unsigned int status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    try {  // nothing may escape into libmicrohttpd
        std::shared_ptr<Snapshot> snapshot = snapshots_.join();
        const Clock::time_point deadline = state.arrived + std::chrono::seconds(kAnswerSeconds);
        const Snapshot::Progress progress = snapshot->waitUntilStreamable(deadline);
        if (progress == Snapshot::Progress::Streamable) {
            MHD_Response* response = createSnapshotResponse(std::move(snapshot), state.sent);
            if (!response) return MHD_NO;  // out of memory: drop the connection
            state.record.status = MHD_HTTP_OK;
            return queueAndRelease(connection, MHD_HTTP_OK, response, "application/octet-stream");
        }
        if (progress == Snapshot::Progress::Failed && !snapshot->failedBusy()) {
            std::fprintf(stderr, "BackupService: snapshot failed: %s\n", snapshot->error().c_str());
        } else {
            status = MHD_HTTP_SERVICE_UNAVAILABLE;
            reason = snapshot->waitedForLock() ? kReasonDatabaseBusy : kReasonServiceBusy;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BackupService: snapshot failed: %s\n", error.what());
    }
    const std::string body = taggedFailure(reason);
    state.record.status = status;
    *state.sent = body.size();
    return queueText(connection, status, body);
}

}  // namespace backupservice
