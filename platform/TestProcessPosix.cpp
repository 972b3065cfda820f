#include "TestProcess.h"

#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testprocess {
namespace {

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

void ExecChild(const std::string& szProgram, const std::vector<std::string>& arguments,
               const std::string& szWorkDir, const std::string& szTempDir, int iWriteFd,
               unsigned long long uFileSizeLimit) {
    if (uFileSizeLimit > 0) LimitFileSize(uFileSizeLimit);
    const int iNull = ::open("/dev/null", O_RDONLY);
    if (iNull >= 0) ::dup2(iNull, 0);
    ::dup2(iWriteFd, 1);
    if (::chdir(szWorkDir.c_str()) != 0) ::_exit(127);
    // After the change of directory: the working directory may lie in /tmp.
    if (!t_szPrivateTmp.empty() && !MountPrivateTmp(t_szPrivateTmp)) ::_exit(127);
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
    result.iExitCode = WIFEXITED(iStatus) ? WEXITSTATUS(iStatus) : 128 + WTERMSIG(iStatus);
    return result;
}

Result Run(const std::string& szProgram, const std::vector<std::string>& arguments,
           const std::string& szWorkDir, const std::string& szTempDir) {
    return RunWithFileSizeLimit(szProgram, arguments, szWorkDir, szTempDir, 0);
}

bool SupportsFileSizeLimit() { return true; }

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
    while (pid > 0 && ::waitpid(pid, &iStatus, 0) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0;
}

bool MakeFifo(const std::string& szPath) { return ::mkfifo(szPath.c_str(), 0666) == 0; }

bool GiveToNobody(const std::string& szPath) {
    const passwd* pEntry = ::getpwnam("nobody");
    return pEntry != nullptr && ::lchown(szPath.c_str(), pEntry->pw_uid, pEntry->pw_gid) == 0;
}

}  // namespace testprocess
