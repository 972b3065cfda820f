#include "TestProcess.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testprocess {
namespace {

std::atomic<pid_t> s_latestChild{0};

void LimitFileSize(unsigned long long uLimit) {
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = static_cast<rlim_t>(uLimit);
    limit.rlim_max = static_cast<rlim_t>(uLimit);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

void ExecChild(const std::string& szProgram, const std::vector<std::string>& arguments,
               const std::string& szWorkDir, const std::string& szTempDir, int iWriteFd,
               unsigned long long uFileSizeLimit) {
    if (uFileSizeLimit > 0) LimitFileSize(uFileSizeLimit);
    const int iNull = ::open("/dev/null", O_RDONLY);
    if (iNull >= 0) ::dup2(iNull, 0);
    ::dup2(iWriteFd, 1);
    if (::chdir(szWorkDir.c_str()) != 0) ::_exit(127);
    if (szTempDir.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", szTempDir.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(szProgram.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(szProgram.c_str(), argv.data());
    ::_exit(127);
}

}  // namespace

Result RunWithFileSizeLimit(const std::string& szProgram, const std::vector<std::string>& arguments,
                            const std::string& szWorkDir, const std::string& szTempDir,
                            unsigned long long uFileSizeLimit) {
    Result result;
    int aPipe[2];
    if (::pipe(aPipe) != 0) return result;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(aPipe[0]);
        ::close(aPipe[1]);
        return result;
    }
    if (pid == 0) {
        ::close(aPipe[0]);
        ExecChild(szProgram, arguments, szWorkDir, szTempDir, aPipe[1], uFileSizeLimit);
    }
    ::close(aPipe[1]);
    s_latestChild = pid;
    result.bStarted = true;
    char aBuffer[4096];
    for (;;) {
        const ssize_t iRead = ::read(aPipe[0], aBuffer, sizeof aBuffer);
        if (iRead > 0) result.szStdout.append(aBuffer, static_cast<size_t>(iRead));
        else if (iRead == 0 || errno != EINTR) break;
    }
    ::close(aPipe[0]);
    int iStatus = 0;
    while (::waitpid(pid, &iStatus, 0) < 0 && errno == EINTR) {
    }
    pid_t expected = pid;
    s_latestChild.compare_exchange_strong(expected, 0);
    result.iExitCode = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    return result;
}

Result Run(const std::string& szProgram, const std::vector<std::string>& arguments,
           const std::string& szWorkDir, const std::string& szTempDir) {
    return RunWithFileSizeLimit(szProgram, arguments, szWorkDir, szTempDir, 0);
}

bool SupportsFileSizeLimit() { return true; }

bool SignalLatestChild(int iSignal) {
    const pid_t pid = s_latestChild;
    return pid > 0 && ::kill(pid, iSignal) == 0;
}

const char* TextLineEnd() { return "\n"; }

bool BuiltForWindows() { return false; }

int ExitCodeOfMinusOne() { return 255; }

}  // namespace testprocess
