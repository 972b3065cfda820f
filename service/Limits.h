// The limits the service applies so that no client starves the others; the
// help text quotes them.
#pragma once

#include <cstddef>

namespace backupservice {

// Connections served at once (one thread each), and from one client address.
constexpr unsigned int kConnectionLimit = 256;
constexpr unsigned int kConnectionsPerAddress = 128;
// Connections that have gone without their whole request (TLS handshakes
// among them) for over kUnfinishedGraceSeconds one address may hold; a new
// one from it closes its oldest such. When all kConnectionLimit are taken,
// a new connection closes the oldest unfinished one of any address instead.
constexpr unsigned int kUnfinishedPerAddress = 16;
constexpr unsigned int kUnfinishedGraceSeconds = 1;
// Connections past the limits are kept only to answer 503 'busy' with
// Retry-After, at most this many at once; past those they are closed as soon
// as they are accepted.
constexpr unsigned int kBusyConnections = 16;
// Every 503 'busy' reply (past the connection limits, or a download that
// cannot start in time) asks the client to come back after this long.
constexpr unsigned int kBusyRetrySeconds = 10;
// A connection closed without a request gets a line in the request log, at
// most one per client address and cause in this long; this many addresses
// are remembered for that, the others share one count.
constexpr unsigned int kConnectionEventSeconds = 10;
constexpr size_t kConnectionEventAddresses = 64;
// A connection must send its request line (over HTTPS: complete its TLS
// handshake and send it) within this long after it was accepted...
constexpr unsigned int kHandshakeSeconds = 5;
// ...and its whole request within this long, however steadily it trickles
// in. Requests carry no body (one that declares a body is refused at once),
// so the header is the whole request.
constexpr unsigned int kRequestSeconds = 10;
// Once its reply has started, a connection must take at least kStallBytes in
// every span of this many seconds (--stall-timeout), or it is closed.
constexpr unsigned int kDefaultStallSeconds = 30;
constexpr unsigned long kStallBytes = 64 * 1024;
// On SIGTERM, SIGINT or SIGHUP, running downloads get this long to finish
// (--stop-grace) before they are cut off.
constexpr unsigned int kDefaultStopGraceSeconds = 30;
// The largest value --stop-grace and --stall-timeout take.
constexpr unsigned int kMaxOptionSeconds = 86400;
// This many failed logins from one address with one account within the
// window shut that address out of that account until the window, counted
// from the first of them, has passed; the address is shut out of every
// account after kMaxAddressLoginFailures with any accounts.
constexpr unsigned int kMaxLoginFailures = 5;
constexpr unsigned int kMaxAddressLoginFailures = 4 * kMaxLoginFailures;
constexpr unsigned int kLoginWindowSeconds = 60;
// A download that cannot start within this long after its request arrived
// (the database locked, or every snapshot file in use) gets a "busy" reply;
// the client gives up after 7 s of silence. Its Retry-After asks the client
// to come back after kBusyRetrySeconds.
constexpr unsigned int kAnswerSeconds = 5;
// Snapshot files at once; each is as large as the database.
constexpr size_t kMaxSnapshotFiles = 4;

}  // namespace backupservice
