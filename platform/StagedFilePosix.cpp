// The staged backup file on POSIX: an exclusive 0600 file written with
// write(2), handed to the disk behind the writer, fsync'ed, renamed and its
// directory fsync'ed; a signal handler removes it when a signal ends the
// run.
#include "Platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes between two write-behind requests, and how many such windows may be
// in flight before the writer waits for the oldest: the dirty data a run
// leaves to the final flush stays near kWriteBehindWindows * kWriteBehindSize.
constexpr off_t kWriteBehindSize = 8 * 1024 * 1024;
constexpr off_t kWriteBehindWindows = 2;
constexpr int kCreateTries = 16;
constexpr std::size_t kNameSize = 256;

// What the interrupt handler removes: written before s_bArmed is set and
// cleared only after it is reset, so the handler always sees a whole name.
char s_szInterruptPath[kNameSize];
volatile std::sig_atomic_t s_bArmed = 0;
bool s_bHandlersInstalled = false;
// The signals whose default action ends the process (SIGKILL and SIGSTOP
// cannot be caught; SIGPIPE and SIGXFSZ are ignored instead); the
// real-time signals, which end it too, are added at run time.
const int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE, SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

extern "C" void OnInterrupt(int iSignal) {
    const int iSavedErrno = errno;
    if (s_bArmed) ::unlink(s_szInterruptPath);
    // End the way the signal would have ended the process: the default
    // action, delivered as soon as this handler returns.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(iSignal, &action, nullptr);
    ::raise(iSignal);
    errno = iSavedErrno;
}

// Installs the handler for one signal, unless the process ignores it (a
// run under nohup keeps ignoring SIGHUP) or has a handler of its own.
void Guard(int iSignal) {
    struct sigaction previous {};
    if (::sigaction(iSignal, nullptr, &previous) != 0) return;
    if ((previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_DFL) return;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    // Nothing else is handled while the handler runs.
    ::sigfillset(&action.sa_mask);
    ::sigaction(iSignal, &action, nullptr);
}

void Ignore(int iSignal) {
    struct sigaction action {};
    action.sa_handler = SIG_IGN;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(iSignal, &action, nullptr);
}

std::uint64_t RandomPart() {
    std::uint64_t uValue = 0;
    if (::getrandom(&uValue, sizeof uValue, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof uValue)) return uValue;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint64_t>(now.tv_sec);
}

}  // namespace

namespace os {

void InstallSignalHandling() {
    if (s_bHandlersInstalled) return;
    s_bHandlersInstalled = true;
    Ignore(SIGPIPE);
    Ignore(SIGXFSZ);
    for (const int iSignal : kEndingSignals) Guard(iSignal);
    for (int iSignal = SIGRTMIN; iSignal <= SIGRTMAX; ++iSignal) Guard(iSignal);
}

struct StagedFile::Impl {
    int iFd = -1;
    char szName[kNameSize] = "";
    bool bOnDisk = false;  // created and neither committed nor removed
    off_t iWritten = 0;
    off_t iHandedToDisk = 0;
    int iError = 0;

    bool Fail() {
        iError = errno;
        return false;
    }
    void WriteBehind();
    void Remove();
};

// Asks the system to start writing the newest full window, and waits for the
// window kWriteBehindWindows back, so dirty pages never pile up.
void StagedFile::Impl::WriteBehind() {
#ifdef SYNC_FILE_RANGE_WRITE
    while (iWritten - iHandedToDisk >= kWriteBehindSize) {
        ::sync_file_range(iFd, iHandedToDisk, kWriteBehindSize, SYNC_FILE_RANGE_WRITE);
        const off_t iOldest = iHandedToDisk - kWriteBehindWindows * kWriteBehindSize;
        if (iOldest >= 0) {
            ::sync_file_range(iFd, iOldest, kWriteBehindSize,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
        }
        iHandedToDisk += kWriteBehindSize;
    }
#endif
}

void StagedFile::Impl::Remove() {
    if (iFd >= 0) ::close(iFd);
    iFd = -1;
    if (bOnDisk) ::unlink(szName);
    bOnDisk = false;
    s_bArmed = 0;
}

StagedFile::StagedFile() : m_pImpl(new Impl) {}

StagedFile::~StagedFile() { Discard(); }

bool StagedFile::Create(const char* szPrefix, const char* szSuffix) {
    Impl& file = *m_pImpl;
    if (file.szName[0] != '\0') {
        errno = EINVAL;
        return file.Fail();
    }
    InstallSignalHandling();
    for (int iTry = 0; iTry < kCreateTries; ++iTry) {
        char szName[kNameSize];
        const int iLength =
            std::snprintf(szName, sizeof szName, "%s%ld.%08llx%s", szPrefix, static_cast<long>(::getpid()),
                          static_cast<unsigned long long>(RandomPart() & 0xffffffffull), szSuffix);
        if (iLength < 0 || static_cast<std::size_t>(iLength) >= sizeof szName) {
            errno = ENAMETOOLONG;
            return file.Fail();
        }
        // Armed before the file exists: the handler's unlink of a name not
        // yet created is harmless, a created file never goes unguarded.
        std::memcpy(s_szInterruptPath, szName, static_cast<std::size_t>(iLength) + 1);
        s_bArmed = 1;
        file.iFd = ::open(szName, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        // The name is kept even on failure, so that the failure can name it.
        std::memcpy(file.szName, szName, static_cast<std::size_t>(iLength) + 1);
        if (file.iFd >= 0) {
            file.bOnDisk = true;
            return true;
        }
        s_bArmed = 0;
        if (errno != EEXIST) return file.Fail();
    }
    return file.Fail();
}

const char* StagedFile::Name() const { return m_pImpl->szName; }

bool StagedFile::Write(const char* pBytes, std::size_t uLength) {
    Impl& file = *m_pImpl;
    while (uLength > 0) {
        const ssize_t iDone = ::write(file.iFd, pBytes, uLength);
        if (iDone < 0) {
            if (errno == EINTR) continue;
            return file.Fail();
        }
        pBytes += iDone;
        uLength -= static_cast<std::size_t>(iDone);
        file.iWritten += iDone;
    }
    file.WriteBehind();
    return true;
}

bool StagedFile::Commit(const char* szFinalName) {
    Impl& file = *m_pImpl;
    bool bDone = ::fsync(file.iFd) == 0 || file.Fail();
    bDone = (::close(file.iFd) == 0 || file.Fail()) && bDone;
    file.iFd = -1;
    bDone = bDone && (::rename(file.szName, szFinalName) == 0 || file.Fail());
    if (!bDone) {
        file.Remove();
        return false;
    }
    s_bArmed = 0;
    file.bOnDisk = false;
    // The new name reaches the disk with its directory. A file system that
    // cannot flush a directory says EINVAL; the name is then as safe as it
    // can be made.
    const int iDirectory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (iDirectory < 0) return true;
    const bool bSynced = ::fsync(iDirectory) == 0 || errno == EINVAL || file.Fail();
    ::close(iDirectory);
    if (!bSynced) ::unlink(szFinalName);
    return bSynced;
}

void StagedFile::Discard() { m_pImpl->Remove(); }

// A rename on POSIX does not wait for other programs: a failed Commit
// never keeps the file.
bool StagedFile::Kept() const { return false; }
void StagedFile::DiscardKept() {}

int StagedFile::LastError() const { return m_pImpl->iError; }

}  // namespace os
