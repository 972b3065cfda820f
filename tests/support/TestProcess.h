// Test support: runs a program to its end, as a user's shell would, for the
// end-to-end tests. Starting a process and redirecting its output are
// system calls, so each system has its implementation
// (TestProcessPosix.cpp, TestProcessWindows.cpp), chosen by CMake as for
// platform/; the product never contains them.
#pragma once

#include <string>
#include <vector>

namespace testprocess {

struct Result {
    bool bStarted = false;
    int iExitCode = -1;   // as the shell shows it: 0..255 on POSIX, the
                          // full 32-bit code on Windows
    std::string szStdout; // raw bytes written to standard output
    std::string szStderr; // raw bytes written to standard error, when captured
};

// Runs szProgram with the arguments (no shell, arguments passed as they
// are) in szWorkDir, its standard input empty and standard output captured.
// The user's temporary directory of the child is szTempDir (TMPDIR on POSIX,
// TMP and TEMP on Windows); the rest of the environment is inherited.
Result Run(const std::string& szProgram, const std::vector<std::string>& arguments,
           const std::string& szWorkDir, const std::string& szTempDir);

// As Run, with the size of any file the child writes limited to
// uFileSizeLimit bytes, as on a full disk: a write past it fails (the
// signal a system may raise for it is ignored). Only where
// SupportsFileSizeLimit() says so.
Result RunWithFileSizeLimit(const std::string& szProgram, const std::vector<std::string>& arguments,
                            const std::string& szWorkDir, const std::string& szTempDir,
                            unsigned long long uFileSizeLimit);
bool SupportsFileSizeLimit();

// As Run, with the child's standard error captured in szStderr as well: on
// a pipe, or with bTerminal on a pseudo-terminal, where a program sees a
// person's terminal. POSIX only: elsewhere bStarted is false.
Result RunCapturingErrors(const std::string& szProgram, const std::vector<std::string>& arguments,
                          const std::string& szWorkDir, const std::string& szTempDir, bool bTerminal);

// Sends the signal iSignal (SIGINT, SIGTERM, ...) to the child most
// recently started by Run that is still running, from another thread than
// the one waiting in Run. False when there is none, and on Windows, which
// has no signals to send to a process. The exit code Run then reports for
// a child the signal ended is 128 + iSignal.
bool SignalLatestChild(int iSignal);
// The number of the POSIX signal named szName without its "SIG" ("INT",
// "QUIT", "USR1", ...); 0 for a name the system does not have, and on
// Windows.
int SignalNumber(const char* szName);

// How a "\n" written to a text-mode stream reaches a file or pipe: "\n" on
// POSIX, "\r\n" on Windows.
const char* TextLineEnd();

// Whether this is the Windows build, for the few expectations where
// Windows' own behaviour differs (for example Winsock answering an empty
// host name with the local host).
bool BuiltForWindows();

// The exit code a program that returns -1 shows: 255 on POSIX, -1 on Windows.
int ExitCodeOfMinusOne();

// As Run, with TMPDIR unset and szTmpDir mounted over /tmp for the child
// alone (a private mount namespace), so that a test sees what the program
// does with the system's /tmp without touching it. Only where
// SupportsPrivateTmp() says so (POSIX, with the right to mount).
Result RunWithPrivateTmp(const std::string& szProgram, const std::vector<std::string>& arguments,
                         const std::string& szWorkDir, const std::string& szTmpDir);
bool SupportsPrivateTmp();

// Hostile local files for the tests (POSIX; false elsewhere): a FIFO at
// the path, and handing a path (itself, not a link's target) to the user
// "nobody", which only root may do.
bool MakeFifo(const std::string& szPath);
bool GiveToNobody(const std::string& szPath);

}  // namespace testprocess
