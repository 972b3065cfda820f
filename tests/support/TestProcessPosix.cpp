#include "TestProcess.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <csignal>
#include <mutex>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// The directory RunWithPrivateTmp mounts over /tmp for the child it
// starts; empty for every other run.
thread_local std::string t_szPrivateTmp;

// This process's own view of the mounts, with szDirectory in place of /tmp.
bool MountPrivateTmp(const std::string& szDirectory) {
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount(szDirectory.c_str(), "/tmp", nullptr, MS_BIND, nullptr) == 0;
}

void ExecChild(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
               const std::string& szTempDir, int iWriteFd, int iErrorFd, unsigned long long uFileSizeLimit) {
    if (uFileSizeLimit > 0) LimitFileSize(uFileSizeLimit);
    const int iNull = ::open("/dev/null", O_RDONLY);
    if (iNull >= 0) ::dup2(iNull, 0);
    ::dup2(iWriteFd, 1);
    if (iErrorFd >= 0) ::dup2(iErrorFd, 2);
    if (::chdir(szWorkDir.c_str()) != 0) ::_exit(127);
    // The program is held, and the directory changed, before /tmp is
    // replaced: either may lie in /tmp (a checkout there, say).
    const int iProgram = ::open(szProgram.c_str(), O_PATH | O_CLOEXEC);
    if (!t_szPrivateTmp.empty() && !MountPrivateTmp(t_szPrivateTmp)) ::_exit(127);
    if (szTempDir.empty())
        ::unsetenv("TMPDIR");
    else
        ::setenv("TMPDIR", szTempDir.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(szProgram.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (iProgram >= 0) ::fexecve(iProgram, argv.data(), environ);
    ::execv(szProgram.c_str(), argv.data());
    ::_exit(127);
}

// Where the child's standard error goes: inherited, or captured through a
// descriptor the parent reads (a pipe's or a pseudo-terminal's).
struct ErrorCapture {
    int iParentFd = -1;  // read by the parent
    int iChildFd = -1;   // the child's standard error
};

// Opens a pseudo-terminal for the child's standard error.
bool OpenTerminal(ErrorCapture* pCapture) {
    const int iMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (iMaster < 0) return false;
    const char* szSlave = ::grantpt(iMaster) == 0 && ::unlockpt(iMaster) == 0 ? ::ptsname(iMaster) : nullptr;
    const int iSlave = szSlave != nullptr ? ::open(szSlave, O_RDWR | O_NOCTTY) : -1;
    if (iSlave < 0) {
        ::close(iMaster);
        return false;
    }
    pCapture->iParentFd = iMaster;
    pCapture->iChildFd = iSlave;
    return true;
}

// Reads the child's output and error output until both end: the pipe's
// end, or the terminal's hang-up (EIO) when the child is gone.
void ReadOutputs(int iOutFd, int iErrorFd, Result* pResult) {
    pollfd fds[2] = {{iOutFd, POLLIN, 0}, {iErrorFd, POLLIN, 0}};
    std::string* targets[2] = {&pResult->szStdout, &pResult->szStderr};
    char aBuffer[4096];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t iRead = ::read(fds[i].fd, aBuffer, sizeof aBuffer);
            if (iRead > 0)
                targets[i]->append(aBuffer, static_cast<size_t>(iRead));
            else if (iRead == 0 || errno != EINTR)
                fds[i].fd = -1;
        }
    }
}

Result Spawn(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
             const std::string& szTempDir, unsigned long long uFileSizeLimit, ErrorCapture capture) {
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
        ExecChild(szProgram, arguments, szWorkDir, szTempDir, aPipe[1], capture.iChildFd, uFileSizeLimit);
    }
    ::close(aPipe[1]);
    if (capture.iChildFd >= 0) ::close(capture.iChildFd);
    s_latestChild = pid;
    result.bStarted = true;
    ReadOutputs(aPipe[0], capture.iParentFd, &result);
    ::close(aPipe[0]);
    if (capture.iParentFd >= 0) ::close(capture.iParentFd);
    int iStatus = 0;
    while (::waitpid(pid, &iStatus, 0) < 0 && errno == EINTR) {}
    pid_t expected = pid;
    s_latestChild.compare_exchange_strong(expected, 0);
    result.iExitCode = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    return result;
}

}  // namespace

Result RunWithFileSizeLimit(const std::string& szProgram, const std::vector<std::string>& arguments,
                            const std::string& szWorkDir, const std::string& szTempDir,
                            unsigned long long uFileSizeLimit) {
    return Spawn(szProgram, arguments, szWorkDir, szTempDir, uFileSizeLimit, ErrorCapture{});
}

Result RunCapturingErrors(const std::string& szProgram, const std::vector<std::string>& arguments,
                          const std::string& szWorkDir, const std::string& szTempDir, bool bTerminal) {
    ErrorCapture capture;
    int aPipe[2];
    if (bTerminal) {
        if (!OpenTerminal(&capture)) return Result();
    } else {
        if (::pipe(aPipe) != 0) return Result();
        capture = ErrorCapture{aPipe[0], aPipe[1]};
    }
    return Spawn(szProgram, arguments, szWorkDir, szTempDir, 0, capture);
}

Result Run(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
           const std::string& szTempDir) {
    return RunWithFileSizeLimit(szProgram, arguments, szWorkDir, szTempDir, 0);
}

bool SupportsFileSizeLimit() { return true; }

bool SignalLatestChild(int iSignal) {
    const pid_t pid = s_latestChild;
    return pid > 0 && ::kill(pid, iSignal) == 0;
}

bool TerminateLatestChild() { return false; }

void SetEnvironment(const std::string& szName, const std::string& szValue) {
    if (szValue.empty())
        ::unsetenv(szName.c_str());
    else
        ::setenv(szName.c_str(), szValue.c_str(), 1);
}

int SignalNumber(const char* szName) {
    static const struct {
        const char* szName;
        int iSignal;
    } kSignals[] = {{"INT", SIGINT},   {"TERM", SIGTERM}, {"HUP", SIGHUP},   {"QUIT", SIGQUIT},
                    {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"ALRM", SIGALRM}, {"PIPE", SIGPIPE}};
    for (const auto& entry : kSignals) {
        if (std::string(szName) == entry.szName) return entry.iSignal;
    }
    return 0;
}

const char* TextLineEnd() { return "\n"; }

bool BuiltForWindows() { return false; }

int ExitCodeOfMinusOne() { return 255; }

Result RunWithPrivateTmp(const std::string& szProgram, const std::vector<std::string>& arguments,
                         const std::string& szWorkDir, const std::string& szTmpDir) {
    t_szPrivateTmp = szTmpDir;
    Result result = Run(szProgram, arguments, szWorkDir, "");
    t_szPrivateTmp.clear();
    return result;
}

bool SupportsPrivateTmp() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int iStatus = 1;
    while (pid > 0 && ::waitpid(pid, &iStatus, 0) < 0 && errno == EINTR) {}
    return pid > 0 && WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0;
}

bool MakeFifo(const std::string& szPath) { return ::mkfifo(szPath.c_str(), 0666) == 0; }

bool GiveToNobody(const std::string& szPath) {
    const passwd* pEntry = ::getpwnam("nobody");
    return pEntry != nullptr && ::lchown(szPath.c_str(), pEntry->pw_uid, pEntry->pw_gid) == 0;
}

struct Child::Impl {
    pid_t pid = -1;
    bool bStarted = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::string szOutput;
    bool bOutputClosed = false;
    std::thread reader;

    // The reader's body: collects standard output until its end.
    void Collect(int iFd) {
        char aBuffer[4096];
        for (;;) {
            const ssize_t iRead = ::read(iFd, aBuffer, sizeof aBuffer);
            if (iRead < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(mutex);
            if (iRead <= 0) {
                bOutputClosed = true;
                changed.notify_all();
                break;
            }
            szOutput.append(aBuffer, static_cast<size_t>(iRead));
            changed.notify_all();
        }
        ::close(iFd);
    }
};

// The pipe and the file are opened close-on-exec, so that no other child
// inherits them and holds the output open.
Child::Child(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
             const std::string& szTempDir, const std::string& szStderrPath)
    : m_pImpl(new Impl) {
    int aPipe[2];
    if (::pipe2(aPipe, O_CLOEXEC) != 0) return;
    const int iErrorFd = ::open(szStderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = iErrorFd >= 0 ? ::fork() : -1;
    if (pid == 0) ExecChild(szProgram, arguments, szWorkDir, szTempDir, aPipe[1], iErrorFd, 0);
    ::close(aPipe[1]);
    if (iErrorFd >= 0) ::close(iErrorFd);
    if (pid < 0) {
        ::close(aPipe[0]);
        return;
    }
    m_pImpl->pid = pid;
    m_pImpl->bStarted = true;
    Impl* pImpl = m_pImpl.get();
    const int iReadFd = aPipe[0];
    m_pImpl->reader = std::thread([pImpl, iReadFd] { pImpl->Collect(iReadFd); });
}

Child::~Child() {
    Stop(SIGKILL);
    if (m_pImpl->reader.joinable()) m_pImpl->reader.join();
}

bool Child::Started() const { return m_pImpl->bStarted; }

int Child::Pid() const { return static_cast<int>(m_pImpl->pid); }

std::string Child::WaitForFirstLine(int iMilliseconds) {
    std::unique_lock<std::mutex> lock(m_pImpl->mutex);
    m_pImpl->changed.wait_for(lock, std::chrono::milliseconds(iMilliseconds), [this] {
        return m_pImpl->bOutputClosed || m_pImpl->szOutput.find('\n') != std::string::npos;
    });
    const std::size_t uEnd = m_pImpl->szOutput.find('\n');
    return uEnd == std::string::npos ? std::string() : m_pImpl->szOutput.substr(0, uEnd);
}

bool Child::Signal(int iSignal) { return m_pImpl->pid > 0 && ::kill(m_pImpl->pid, iSignal) == 0; }

int Child::Wait() {
    int iExitCode = -1;
    if (m_pImpl->pid > 0) {
        int iStatus = 0;
        pid_t waited = -1;
        while ((waited = ::waitpid(m_pImpl->pid, &iStatus, 0)) < 0 && errno == EINTR) {}
        m_pImpl->pid = -1;
        if (waited > 0) iExitCode = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    }
    if (m_pImpl->reader.joinable()) m_pImpl->reader.join();
    return iExitCode;
}

int Child::Stop(int iSignal) {
    Signal(iSignal);
    return Wait();
}

std::string Child::Output() {
    std::lock_guard<std::mutex> lock(m_pImpl->mutex);
    return m_pImpl->szOutput;
}

}  // namespace testprocess
