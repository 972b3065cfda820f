// The limits the service applies so that no client starves the others; the
// help text quotes them.
#pragma once

#include <cstddef>

namespace backupservice {

// Connections at once (one thread each), and from one client address; more
// are closed as soon as they are accepted.
constexpr unsigned int kConnectionLimit = 256;
constexpr unsigned int kConnectionsPerAddress = 128;
// A request must arrive in full within this long after the connection was
// accepted, however steadily it trickles in. Requests carry no body (one that
// declares a body is refused at once), so the header is the whole request.
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
constexpr unsigned int kBusyRetrySeconds = 10;
// Snapshot files at once; each is as large as the database.
constexpr size_t kMaxSnapshotFiles = 4;

}  // namespace backupservice
