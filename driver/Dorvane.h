// The program's run: start the log, choose the mode by the argument count,
// run it once.
#pragma once

#include <cstddef>

namespace Dorvane {

// Lengths download mode can read back from the configuration file.
constexpr std::size_t kMaxServerAddress = 4095;
constexpr std::size_t kMaxEmail = 511;
constexpr std::size_t kMaxPassword = 381;  // its Base64 text fills 508 bytes

// Runs the program. Returns the process exit code: -1 when the log cannot
// be started, 0 otherwise.
int Main(int argc, char* argv[]);

}  // namespace Dorvane
