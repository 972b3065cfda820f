// The limits the service applies so that no client starves the others; the
// help text quotes them.
#pragma once

#include <cstddef>

namespace backupservice {

// Connections at once (one thread each), and from one client address; more
// are closed as soon as they are accepted.
constexpr unsigned int kConnectionLimit = 256;
constexpr unsigned int kConnectionsPerAddress = 128;
// A request header must arrive in full within this long after the
// connection was accepted, however steadily it trickles in.
constexpr unsigned int kHeaderSeconds = 10;
// This many failed logins from one address within the window shut the
// address out until the window, counted from the first of them, has passed.
constexpr unsigned int kMaxLoginFailures = 5;
constexpr unsigned int kLoginWindowSeconds = 60;
// A download that cannot start within this long after its request arrived
// (the database locked, or every snapshot file in use) gets a "busy" reply;
// the client gives up after 7 s of silence.
constexpr unsigned int kAnswerSeconds = 5;
// Snapshot files at once; each is as large as the database.
constexpr size_t kMaxSnapshotFiles = 4;

}  // namespace backupservice
