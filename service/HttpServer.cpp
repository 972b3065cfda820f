#include "HttpServer.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "Routing.h"
#include "SnapshotStream.h"

namespace backupservice {

namespace {

// A client that stays silent is dropped after this long; one that trickles
// is dropped by the ConnectionDeadline.
constexpr unsigned int kConnectionTimeoutSeconds = 60;
// Addresses the login throttle remembers at most.
constexpr size_t kThrottledAddresses = 10000;
// The library's own limit, a last resort: room for every connection served
// or answered 'busy', and for those still closing after they were cut.
constexpr unsigned int kLibraryConnectionLimit = kConnectionLimit + kBusyConnections + 64;
// The library's messages on standard error, all together.
constexpr auto kMessageInterval = std::chrono::seconds(1);
// Messages of failed TLS handshakes waiting for their connection to close.
constexpr size_t kHandshakeMessages = 1024;
// TLS 1.2 and 1.3 only, with GnuTLS's usual choice of ciphers.
constexpr const char* kTlsPriorities = "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2";
// How the library reports a request it answers with an error of its own:
// the status, then the body it sends in quotes and parentheses.
constexpr const char* kLibraryErrorPrefix = "Error processing request (HTTP response code is ";
constexpr const char* kLibraryErrorBodyEnd = "')). Closing connection.";

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "-";
    if (!address) return text;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

std::string peerAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return addressText(info ? info->client_addr : nullptr);
}

// `text` with control bytes replaced, so that it cannot forge lines.
std::string withoutControlBytes(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return text;
}

// Whether the TLS handshake of `connection` was completed; true for plain HTTP.
bool handshakeCompleted(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    if (!info || !info->tls_session) return true;
    const auto session = static_cast<gnutls_session_t>(info->tls_session);
    const gnutls_handshake_description_t last = gnutls_handshake_get_last_in(session);
    // The client's Finished ends a handshake; a key update can only follow one.
    return last == GNUTLS_HANDSHAKE_FINISHED || last == GNUTLS_HANDSHAKE_KEY_UPDATE;
}

// Query values, binary-safe (a password may contain an encoded NUL byte).
bool queryValue(MHD_Connection* connection, const char* key, std::string& value) {
    const char* data = nullptr;
    size_t size = 0;
    if (MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, key, std::strlen(key), &data, &size) !=
            MHD_YES ||
        !data) {
        return false;
    }
    value.assign(data, size);
    return true;
}

// Every reply closes the connection: the client reads until the server
// closes, so a kept-alive connection would leave it waiting.
MHD_Result queueAndRelease(MHD_Connection* connection, unsigned int status, MHD_Response* response,
                           const char* contentType, const char* headerName = nullptr,
                           const std::string& headerValue = {}) {
    if (!response) return MHD_NO;  // out of memory: drop the connection
    if (headerName) MHD_add_response_header(response, headerName, headerValue.c_str());
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

MHD_Result queueText(MHD_Connection* connection, unsigned int status, const std::string& body, const char* headerName,
                     const std::string& headerValue) {
    return queueAndRelease(
        connection, status,
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY),
        "text/plain", headerName, headerValue);
}

// Whole seconds, rounded up, and at least 1: a Retry-After of 0 would ask
// for the next attempt at once.
std::string wholeSeconds(std::chrono::steady_clock::duration wait) {
    const auto seconds = std::chrono::ceil<std::chrono::seconds>(wait).count();
    return std::to_string(seconds < 1 ? 1 : seconds);
}

MHD_Result collectForwardedFor(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
    auto* list = static_cast<std::string*>(cls);
    if (key && value && strcasecmp(key, "X-Forwarded-For") == 0) {
        if (!list->empty()) *list += ',';
        *list += value;
    }
    return MHD_YES;
}

// Every X-Forwarded-For header of the request, joined by commas in the
// order they came, as a repeated list header means.
std::string forwardedFor(MHD_Connection* connection) {
    std::string list;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &collectForwardedFor, &list);
    return list;
}

bool requestDeclaresBody(MHD_Connection* connection) {
    return declaresBody(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH),
                        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING));
}

// Reads the status and body size out of the library's message about an
// error reply of its own; false for any other message.
bool parseLibraryError(const std::string& message, unsigned int& status, uint64_t& bytes) {
    if (message.rfind(kLibraryErrorPrefix, 0) != 0) return false;
    status = static_cast<unsigned int>(std::strtoul(message.c_str() + std::strlen(kLibraryErrorPrefix), nullptr, 10));
    const size_t open = message.find(" ('");
    const size_t close = message.rfind(kLibraryErrorBodyEnd);
    bytes = open != std::string::npos && close != std::string::npos && close > open ? close - open - 3 : 0;
    return status != 0;
}

template <typename T>
MHD_OptionItem option(MHD_OPTION name, T value) {
    return MHD_OptionItem{name, static_cast<intptr_t>(value), nullptr};
}

MHD_OptionItem pointerOption(MHD_OPTION name, const void* pointer) {
    return MHD_OptionItem{name, 0, const_cast<void*>(pointer)};
}

// Options with a callback and its argument.
template <typename Function>
MHD_OptionItem callbackOption(MHD_OPTION name, Function* function, void* argument) {
    return MHD_OptionItem{name, reinterpret_cast<intptr_t>(function), argument};
}

}  // namespace

struct HttpServer::RequestState {
    RequestRecord record;
    Clock::time_point arrived = Clock::now();
    std::shared_ptr<std::atomic<uint64_t>> sent = std::make_shared<std::atomic<uint64_t>>(0);
    std::string rawPath;        // the target's path as sent, never its query
    bool handled = false;       // handleRequest() has seen it; else the library answered
    LibraryReply libraryReply;  // what the library said it answered, if it did
    ClientRequests::Slot slot;  // through a trusted proxy: its client's place, until requestCompleted()
};

// The socket context of a connection: from its acceptance to its closing.
struct HttpServer::ConnectionState {
    ConnectionDeadline::Watch* watch = nullptr;
    std::string client;
    bool requestSeen = false;  // its request line was read
};

thread_local HttpServer::RequestState* HttpServer::threadRequest_ = nullptr;
thread_local bool HttpServer::acceptThread_ = false;

HttpServer::HttpServer(ServiceConfig config, RequestLog& log)
    : config_(std::move(config)),
      accounts_(config_.accounts),
      log_(log),
      throttle_(kMaxLoginFailures, kMaxAddressLoginFailures, std::chrono::seconds(kLoginWindowSeconds),
                kThrottledAddresses),
      snapshots_(config_.database, config_.snapshotDirectory, kMaxSnapshotFiles, config_.verify),
      forwardedRequests_(kConnectionsPerAddress),
      eventLimit_(std::chrono::seconds(kConnectionEventSeconds), kConnectionEventAddresses),
      messageLimit_(kMessageInterval, 1) {}

HttpServer::~HttpServer() {
    stop();
    std::fill(config_.tlsKey.begin(), config_.tlsKey.end(), '\0');
}

bool HttpServer::supportsTls() { return MHD_is_feature_supported(MHD_FEATURE_TLS) == MHD_YES; }

// Fills `storage` with the address to listen on; returns MHD_USE_IPv6 for
// an IPv6 address, else 0.
unsigned int HttpServer::listenAddress(sockaddr_storage& storage) const {
    if (config_.listen.ipv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(config_.listen.port);
        inet_pton(AF_INET6, config_.listen.host.c_str(), &address->sin6_addr);
        return MHD_USE_IPv6;
    }
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(config_.listen.port);
    inet_pton(AF_INET, config_.listen.host.c_str(), &address->sin_addr);
    return 0;
}

std::vector<MHD_OptionItem> HttpServer::daemonOptions(const sockaddr_storage& storage) {
    std::vector<MHD_OptionItem> options = {
        pointerOption(MHD_OPTION_SOCK_ADDR, &storage),
        callbackOption(MHD_OPTION_URI_LOG_CALLBACK, &HttpServer::requestStarted, this),
        callbackOption(MHD_OPTION_NOTIFY_COMPLETED, &HttpServer::requestCompleted, this),
        callbackOption(MHD_OPTION_NOTIFY_CONNECTION, &HttpServer::connectionChanged, this),
        option(MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds),
        option(MHD_OPTION_CONNECTION_LIMIT, kLibraryConnectionLimit),
    };
    if (!config_.tlsCertificate.empty()) {
        // The texts live in config_ as long as the daemon does.
        options.push_back(pointerOption(MHD_OPTION_HTTPS_MEM_CERT, config_.tlsCertificate.c_str()));
        options.push_back(pointerOption(MHD_OPTION_HTTPS_MEM_KEY, config_.tlsKey.c_str()));
        options.push_back(pointerOption(MHD_OPTION_HTTPS_PRIORITIES, kTlsPriorities));
    }
    options.push_back(option(MHD_OPTION_END, 0));
    return options;
}

Status HttpServer::start() {
    sockaddr_storage storage{};
    const bool tls = !config_.tlsCertificate.empty();
    const unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_AUTO |
                               MHD_USE_ERROR_LOG | MHD_USE_ITC | (tls ? MHD_USE_TLS : 0) | listenAddress(storage);
    std::vector<MHD_OptionItem> options = daemonOptions(storage);
    deadline_ = std::make_unique<ConnectionDeadline>(ConnectionDeadline::Limits{
        std::chrono::seconds(kHandshakeSeconds), std::chrono::seconds(kRequestSeconds),
        std::chrono::seconds(config_.stallSeconds), kStallBytes, kConnectionLimit, kConnectionsPerAddress,
        kUnfinishedPerAddress, std::chrono::seconds(kUnfinishedGraceSeconds), kBusyConnections});
    errno = 0;
    // The logger comes first so that it also gets the messages of start-up.
    daemon_.reset(MHD_start_daemon(flags, config_.listen.port, &HttpServer::acceptPolicy, this,
                                   &HttpServer::handleRequest, this, MHD_OPTION_EXTERNAL_LOGGER,
                                   &HttpServer::libraryMessage, this, MHD_OPTION_ARRAY, options.data(),
                                   MHD_OPTION_END));
    if (!daemon_) {
        const int error = errno;
        if (tls) {
            return Status::error("cannot serve HTTPS on " + config_.listen.text() + " with that certificate and key");
        }
        return Status::error("cannot listen on " + config_.listen.text() +
                             (error ? std::string(": ") + std::strerror(error) : ""));
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_.get(), MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : config_.listen.port;
    serving_ = true;
    return Status();
}

void HttpServer::stopAccepting() {
    if (!daemon_ || listenSocket_.valid()) return;
    listenSocket_ = FileDescriptor(MHD_quiesce_daemon(daemon_.get()));
    // The library keeps the descriptor until it stops; shutting the socket
    // down refuses new connections at once instead of leaving them queued.
    if (listenSocket_.valid()) ::shutdown(listenSocket_.get(), SHUT_RDWR);
}

void HttpServer::stop() {
    if (daemon_) {
        snapshots_.cancelAll();  // downloads still waiting for their copy end at once
        daemon_.reset();
    }
    listenSocket_ = FileDescriptor();
    deadline_.reset();
}

void HttpServer::libraryMessage(void* cls, const char* format, va_list args) {
    auto* self = static_cast<HttpServer*>(cls);
    char text[2048];
    std::vsnprintf(text, sizeof text, format, args);
    LibraryReply reply;
    if (parseLibraryError(text, reply.status, reply.bytes)) {
        // Logged in the access log, with the client's address, when the
        // request or, before its request line was read, the connection ends.
        if (threadRequest_) {
            threadRequest_->libraryReply = reply;
            return;
        }
        std::lock_guard<std::mutex> lock(self->libraryRepliesMutex_);
        self->libraryReplies_.push_back(reply);
        return;
    }
    std::string message = text;
    if (!message.empty() && message.back() == '\n') message.pop_back();
    if (!self->serving_) {
        std::fprintf(stderr, "BackupService: libmicrohttpd: %s\n", message.c_str());  // start-up: all of it
    } else if (threadRequest_ || acceptThread_) {
        self->printLibraryMessage(threadRequest_ ? threadRequest_->record.client : "-", message);
    } else {
        // A connection's thread before its request line: the client is named
        // when a connection without a request closes.
        std::unique_lock<std::mutex> lock(self->handshakeMessagesMutex_);
        if (self->handshakeMessages_.size() < kHandshakeMessages) {
            self->handshakeMessages_.push_back(std::move(message));
            return;
        }
        lock.unlock();
        self->printLibraryMessage("-", message);
    }
}

void HttpServer::printLibraryMessage(const std::string& client, const std::string& text) {
    uint64_t leftOut = 0;
    if (!messageLimit_.allow("", Clock::now(), &leftOut)) return;
    const std::string note = leftOut > 0 ? " (" + std::to_string(leftOut) + " more not shown)" : "";
    std::fprintf(stderr, "BackupService: %s %s libmicrohttpd: %s%s\n", utcTimestamp(std::time(nullptr)).c_str(),
                 printableForLog(client).c_str(), withoutControlBytes(text).c_str(), note.c_str());
}

void HttpServer::logConnectionEvent(const std::string& client, const char* cause) {
    uint64_t leftOut = 0;
    if (eventLimit_.allow(client + ' ' + cause, Clock::now(), &leftOut)) log_.writeEvent(client, cause, leftOut);
}

// Runs on the thread that accepts connections, just before the library
// takes the connection on: the per-address limits are ours.
MHD_Result HttpServer::acceptPolicy(void* cls, const sockaddr* address, socklen_t /*length*/) {
    auto* self = static_cast<HttpServer*>(cls);
    acceptThread_ = true;
    const std::string client = addressText(address);
    self->pendingAdmission_ = self->deadline_->admit(client, self->config_.trustedProxies.trusts(client));
    if (self->pendingAdmission_ != ConnectionDeadline::Admission::Refuse) return MHD_YES;
    self->logConnectionEvent(client, "connection-limit");
    return MHD_NO;
}

void HttpServer::connectionChanged(void* cls, MHD_Connection* connection, void** socketContext,
                                   MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<HttpServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto state = std::make_unique<ConnectionState>();
        state->client = peerAddress(connection);
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        // A connection that cannot be watched is served all the same, without deadlines.
        if (info) {
            static_cast<void>(
                self->deadline_->accepted(info->connect_fd, state->client, self->pendingAdmission_, &state->watch));
        }
        self->pendingAdmission_ = ConnectionDeadline::Admission::Serve;
        *socketContext = state.release();  // until the connection closes
        ++self->openConnections_;
    } else {
        self->connectionClosed(connection,
                               std::unique_ptr<ConnectionState>(static_cast<ConnectionState*>(*socketContext)));
        *socketContext = nullptr;
        --self->openConnections_;
    }
}

// A connection the library answered before its request line was read
// (414: the line was too long; 505: an HTTP version it does not speak) has
// no request of ours: it takes the oldest such reply. Replies on two
// connections that end at the same moment may be told apart wrongly, and so
// may the library's messages about failed handshakes.
void HttpServer::connectionClosed(MHD_Connection* mhdConnection, std::unique_ptr<ConnectionState> connection) {
    if (!connection) return;
    LibraryReply reply;
    if (!connection->requestSeen && deadline_->peerWasAnswered(connection->watch)) {
        std::lock_guard<std::mutex> lock(libraryRepliesMutex_);
        if (!libraryReplies_.empty()) {
            reply = libraryReplies_.front();
            libraryReplies_.pop_front();
        }
    }
    if (reply.status != 0) {
        RequestRecord record;
        record.client = connection->client;
        record.status = reply.status;
        record.bytes = reply.bytes;
        log_.write(record);
    } else if (const char* cause = closeCause(mhdConnection, *connection)) {
        logConnectionEvent(connection->client, cause);
    }
    if (!connection->requestSeen) {
        std::unique_lock<std::mutex> lock(handshakeMessagesMutex_);
        if (!handshakeMessages_.empty()) {
            const std::string message = std::move(handshakeMessages_.front());
            handshakeMessages_.pop_front();
            lock.unlock();
            printLibraryMessage(connection->client, message);
        }
    }
    deadline_->closed(connection->watch);
}

const char* HttpServer::closeCause(MHD_Connection* mhdConnection, const ConnectionState& connection) {
    switch (deadline_->closer(connection.watch)) {
        case ConnectionDeadline::Closer::Limit:
            return "connection-limit";
        case ConnectionDeadline::Closer::RequestDeadline:
            return "request-timeout";
        case ConnectionDeadline::Closer::StallDeadline:
            return nullptr;  // its request's line says it was cut short
        case ConnectionDeadline::Closer::None:
            break;
    }
    return connection.requestSeen || handshakeCompleted(mhdConnection) ? nullptr : "tls-handshake-failed";
}

// Called as soon as the request line is in, before the header: the request
// is logged from here on, even if the library refuses its header.
void* HttpServer::requestStarted(void* cls, const char* uri, MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* owner = info ? static_cast<ConnectionState*>(info->socket_context) : nullptr;
    auto request = std::make_unique<RequestState>();
    const std::string target = uri ? uri : "";
    request->rawPath = target.substr(0, target.find('?'));  // the query holds the password
    request->record.client = owner ? owner->client : peerAddress(connection);
    if (owner) {
        owner->requestSeen = true;
        static_cast<HttpServer*>(cls)->deadline_->requestLineReceived(owner->watch);
    }
    threadRequest_ = request.get();
    return request.release();  // until requestCompleted()
}

MHD_Result HttpServer::handleRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                                     const char* /*version*/, const char* /*uploadData*/, size_t* uploadDataSize,
                                     void** state) {
    auto* self = static_cast<HttpServer*>(cls);
    auto* request = static_cast<RequestState*>(*state);
    if (!request) {
        request = static_cast<RequestState*>(requestStarted(self, url, connection));
        *state = request;
    }
    if (request->handled) {
        *uploadDataSize = 0;  // a body is never read: the reply is queued already
        return MHD_YES;
    }
    // The header is the whole request: answer at once.
    request->handled = true;
    request->record.method = method ? method : "";
    request->record.path = targetPath(url ? url : "");
    const std::string peer = request->record.client;
    if (!self->config_.trustedProxies.empty()) {
        request->record.client = self->config_.trustedProxies.clientAddress(peer, forwardedFor(connection));
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    auto* owner = info ? static_cast<ConnectionState*>(info->socket_context) : nullptr;
    ConnectionDeadline::Watch* watch = owner ? owner->watch : nullptr;
    self->deadline_->requestReceived(watch);
    const MHD_Result result = self->deadline_->isBusy(watch) || !self->placeForwarded(peer, *request)
                                  ? self->refuseBusy(connection, *request)
                                  : self->respond(connection, *request);
    self->deadline_->replying(watch, request->sent);
    return result;
}

void HttpServer::requestCompleted(void* cls, MHD_Connection* connection, void** state,
                                  MHD_RequestTerminationCode reason) {
    auto* self = static_cast<HttpServer*>(cls);
    std::unique_ptr<RequestState> request(static_cast<RequestState*>(*state));
    *state = nullptr;
    if (threadRequest_ == request.get()) threadRequest_ = nullptr;
    if (!request) return;
    request->record.seconds = std::chrono::duration<double>(Clock::now() - request->arrived).count();
    if (!request->handled) {
        // Refused by the library itself, or given up before the header ended.
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
        request->record.status = info && info->http_status ? info->http_status : request->libraryReply.status;
        if (request->record.status == 0) return;  // nothing was answered
        request->record.path = targetPath(request->rawPath);
        request->record.bytes = request->libraryReply.bytes;
        self->log_.write(request->record);
        return;
    }
    request->record.bytes = request->sent->load();
    request->record.complete = reason == MHD_REQUEST_TERMINATED_COMPLETED_OK;
    self->log_.write(request->record);
}

MHD_Result HttpServer::respond(MHD_Connection* connection, RequestState& state) {
    if (requestDeclaresBody(connection)) {
        return fail(connection, state, MHD_HTTP_CONTENT_TOO_LARGE, kReasonBodyRefused);
    }
    if (hasEncodedNul(state.rawPath)) {
        state.record.path = targetPath(state.rawPath);  // as sent: the decoded one is cut short
        return fail(connection, state, MHD_HTTP_BAD_REQUEST, kReasonBadRequest);
    }
    switch (routeRequest(state.record.method, state.record.path)) {
        case Route::RetrieveDatabase:
            return retrieveDatabase(connection, state);
        case Route::MethodNotAllowed:
            return fail(connection, state, MHD_HTTP_METHOD_NOT_ALLOWED, kReasonMethodNotAllowed,
                        {MHD_HTTP_HEADER_ALLOW, kAllowedMethods});
        case Route::NotFound:
            break;
    }
    return fail(connection, state, MHD_HTTP_NOT_FOUND, kReasonNotFound);
}

MHD_Result HttpServer::fail(MHD_Connection* connection, RequestState& state, unsigned int status, const char* reason,
                            const Header& header) {
    const std::string body = taggedFailure(reason);
    state.record.status = status;
    // A reply to HEAD goes without its body.
    *state.sent = state.record.method == "HEAD" ? 0 : body.size();
    return queueText(connection, status, body, header.first, header.second);
}

HttpServer::Header HttpServer::busyRetry() { return {MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(kBusyRetrySeconds)}; }

// A connection past the limits: 503 'busy', with the seconds to wait.
MHD_Result HttpServer::refuseBusy(MHD_Connection* connection, RequestState& state) {
    return fail(connection, state, MHD_HTTP_SERVICE_UNAVAILABLE, kReasonServiceBusy, busyRetry());
}

bool HttpServer::placeForwarded(const std::string& peer, RequestState& state) {
    if (!config_.trustedProxies.trusts(peer)) return true;
    state.slot = forwardedRequests_.take(state.record.client);
    return state.slot.held();
}

MHD_Result HttpServer::retrieveDatabase(MHD_Connection* connection, RequestState& state) {
    std::string email;
    std::string password;
    state.record.hasAccount = queryValue(connection, "Email", email);
    state.record.account = email;
    if (!state.record.hasAccount || !queryValue(connection, "Password", password)) {
        // Not a login: a health check that names no account shuts nobody out.
        return fail(connection, state, MHD_HTTP_BAD_REQUEST, kReasonMissingCredentials);
    }
    const std::string& client = state.record.client;
    LoginThrottle::Clock::duration wait{};
    const LoginThrottle::Verdict verdict = throttle_.check(client, email, state.arrived, &wait);
    if (verdict == LoginThrottle::Verdict::Full && !throttleFullReported_.exchange(true)) {
        std::fprintf(stderr,
                     "BackupService: all %zu addresses, or address and account pairs, the login throttle "
                     "remembers are shut out; logins new to it are refused until their time is over\n",
                     kThrottledAddresses);
    } else if (verdict == LoginThrottle::Verdict::Allowed) {
        throttleFullReported_ = false;
    }
    if (verdict != LoginThrottle::Verdict::Allowed) {
        // Shut out: the password is not even looked at.
        std::fill(password.begin(), password.end(), '\0');
        return refuseLogin(connection, state, MHD_HTTP_TOO_MANY_REQUESTS, kReasonTooManyAttempts,
                           {MHD_HTTP_HEADER_RETRY_AFTER, wholeSeconds(wait)});
    }
    const bool allowed = accounts_.verify(email, password);
    // Wipe our copy of the password as soon as it has been used.
    std::fill(password.begin(), password.end(), '\0');
    if (!allowed) {
        throttle_.failed(client, email, state.arrived);
        // The tagged reason is what backup clients look for in the body;
        // the status tells generic clients (curl -f, wget) it is no backup.
        return refuseLogin(connection, state, MHD_HTTP_FORBIDDEN, kReasonInvalidCredentials);
    }
    throttle_.succeeded(client, email);
    return sendSnapshot(connection, state);
}

MHD_Result HttpServer::refuseLogin(MHD_Connection* connection, RequestState& state, unsigned int status,
                                   const char* reason, const Header& header) {
    state.record.refused = true;
    return fail(connection, state, status, reason, header);
}

// Waits, at most until kAnswerSeconds after the request arrived, for a
// snapshot that holds the database as the request found it (or later) to
// become streamable; then streams it, or answers why it cannot.
MHD_Result HttpServer::sendSnapshot(MHD_Connection* connection, RequestState& state) {
    const char* reason = kReasonUnavailable;
    unsigned int status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    try {  // nothing may escape into libmicrohttpd
        const Clock::time_point deadline = state.arrived + std::chrono::seconds(kAnswerSeconds);
        std::shared_ptr<Snapshot> snapshot = snapshots_.join(deadline);
        if (!snapshot) return fail(connection, state, MHD_HTTP_SERVICE_UNAVAILABLE, kReasonServiceBusy, busyRetry());
        const Snapshot::Progress progress = snapshot->waitUntilStreamable(deadline);
        if (progress == Snapshot::Progress::Streamable) {
            state.record.pages = snapshot->pageCount();
            MHD_Response* response = createSnapshotResponse(std::move(snapshot), state.sent);
            if (!response) return MHD_NO;  // out of memory: drop the connection
            state.record.status = MHD_HTTP_OK;
            return queueAndRelease(connection, MHD_HTTP_OK, response, "application/octet-stream");
        }
        const Status failure = snapshot->status();
        if (progress == Snapshot::Progress::Failed && !failure.isBusy()) {
            std::fprintf(stderr, "BackupService: snapshot failed: %s\n", failure.message().c_str());
        } else {
            status = MHD_HTTP_SERVICE_UNAVAILABLE;
            reason = snapshot->waitedForLock() ? kReasonDatabaseBusy : kReasonServiceBusy;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "BackupService: snapshot failed: %s\n", error.what());
    }
    return fail(connection, state, status, reason, status == MHD_HTTP_SERVICE_UNAVAILABLE ? busyRetry() : Header());
}

}  // namespace backupservice
