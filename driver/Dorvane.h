// The program's run: start the log, choose the mode by the argument count,
// run it once.
#pragma once

#include <cstddef>

namespace Dorvane {

// Lengths download mode can read back from the configuration file.
constexpr std::size_t kMaxServerAddress = 4095;
constexpr std::size_t kMaxEmail = 511;
constexpr std::size_t kMaxPassword = 381;  // its Base64 text fills 508 bytes

// The exit status of a run, the same on every system; the numbers are
// those wget gives the same kinds of failure. A download run's status is
// that of its last attempt.
enum ExitStatus : int {
    kExitDone = 0,      // Ostrel.cfg written, or a backup saved
    kExitUsage = 2,     // wrong arguments, no readable Ostrel.cfg, an address that cannot be split
    kExitFile = 3,      // Ostrel.cfg or the backup could not be written
    kExitNetwork = 4,   // no address, no connection, a time-out, too slow, a reset, a reply cut short
    kExitTls = 5,       // the TLS handshake or the certificate check failed
    kExitProtocol = 7,  // the reply broke HTTP or is no reply of the service
    kExitRefused = 8,   // a failure reply of the service, or an HTTP error status
    kExitNoLog = -1,    // the log could not be started (255 on POSIX, 0xFFFFFFFF on Windows)
};

// Runs the program. Returns the process exit code, one of ExitStatus.
int Main(int argc, char* argv[]);

}  // namespace Dorvane
