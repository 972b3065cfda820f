// Test support: runs a program to its end, as a user's shell would, for the
// end-to-end tests. Starting a process and redirecting its output are
// system calls, so each system has its implementation
// (TestProcessPosix.cpp, TestProcessWindows.cpp), chosen by CMake as for
// platform/; the product never contains them.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace testprocess {

struct Result {
    bool bStarted = false;
    int iStartError = 0;   // the system's code when the child did not start
    int iExitCode = -1;    // as the shell shows it: 0..255 on POSIX, the
                           // full 32-bit code on Windows
    std::string szStdout;  // raw bytes written to standard output
    std::string szStderr;  // raw bytes written to standard error, when captured
};

// Runs szProgram with the arguments (no shell, arguments passed as they
// are) in szWorkDir, its standard input empty and standard output captured.
// The user's temporary directory of the child is szTempDir (TMPDIR on POSIX,
// TMP and TEMP on Windows); the rest of the environment is inherited.
Result Run(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
           const std::string& szTempDir);

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
// Ends the child most recently started by Run that is still running as
// Task Scheduler's time limit and End task do: `taskkill /F`, which is
// TerminateProcess and runs no handler of the child. Windows only: false
// elsewhere, and when there is no such child.
bool TerminateLatestChild();
// The number of the POSIX signal named szName without its "SIG" ("INT",
// "QUIT", "USR1", ...); 0 for a name the system does not have, and on
// Windows.
int SignalNumber(const char* szName);

// Sets (or, with an empty value, removes) a variable of this process's
// environment, which the programs it runs from then on inherit.
void SetEnvironment(const std::string& szName, const std::string& szValue);

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

// A program left running in the background, for the tests of a server:
// standard input empty, standard output collected as it comes, standard
// error written to a file, which a test can read at any time. The user's
// temporary directory of the child is szTempDir, as for Run. POSIX only:
// elsewhere Started() is false.
class Child {
public:
    // Starts szProgram with the arguments in szWorkDir; its standard error
    // goes to szStderrPath, created or emptied.
    Child(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
          const std::string& szTempDir, const std::string& szStderrPath);
    // Kills a child still running (SIGKILL) and waits for it.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const;
    // The process id; -1 when it did not start or has been waited for.
    int Pid() const;
    // Waits up to iMilliseconds for the first line of standard output and
    // returns it without its "\n"; "" when none came.
    std::string WaitForFirstLine(int iMilliseconds);
    // Sends iSignal to the child still running; false when there is none.
    bool Signal(int iSignal);
    // Waits for the child to end and for the end of its output. Returns the
    // exit code as Run reports it (128 + the signal for a child a signal
    // ended), or -1 when there is no child to wait for.
    int Wait();
    // Signal(iSignal), then Wait().
    int Stop(int iSignal);
    // The standard output so far; all of it once Wait() has returned.
    std::string Output();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// Hostile local files for the tests (POSIX; false elsewhere): a FIFO at
// the path, and handing a path (itself, not a link's target) to the user
// "nobody", which only root may do.
bool MakeFifo(const std::string& szPath);
bool GiveToNobody(const std::string& szPath);

}  // namespace testprocess
