// POSIX stand-ins for the Winsock and Win32 calls of Platform.h.
//
// Error codes are translated once, here, from errno / h_errno / getaddrinfo
// codes into Winsock numbers, so that everything above this file sees the
// same codes on every system.
//
// Written for Linux with glibc, and kept to POSIX elsewhere: each call
// that Linux or glibc alone has (SOCK_CLOEXEC, MSG_NOSIGNAL, mkostemp,
// strerrordesc_np) stands under a check for it, with a POSIX way beside it.
#include "Platform.h"

#include "NativeTypes.h"
#include "TestSeam.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <system_error>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace winsock {
namespace {

thread_local int t_iLastError = 0;

// A system's error code and its Winsock counterpart.
struct CodeMapping {
    int iSystem;
    int iWsa;
};

// errno values that have a Winsock counterpart.
const CodeMapping kErrnoToWsa[] = {
    {EINTR, 10004},         {EBADF, 10009},        {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},        {EMFILE, 10024},       {EWOULDBLOCK, 10035},     {EINPROGRESS, 10035},
    {EALREADY, 10037},      {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},    {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},     {ENETUNREACH, 10051},     {ENETRESET, 10052},
    {ECONNABORTED, 10053},  {ECONNRESET, 10054},   {ENOBUFS, 10055},         {EISCONN, 10056},
    {ENOTCONN, 10057},      {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},  {ELOOP, 10062},        {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},  {ENOTEMPTY, 10066},    {EUSERS, 10068},          {EDQUOT, 10069},
    {ESTALE, 10070},        {EREMOTE, 10071},      {EPIPE, 10058},           {EAGAIN, 10035},
};

// h_errno values of gethostbyname().
const CodeMapping kHostErrorToWsa[] = {
    {HOST_NOT_FOUND, 11001}, {TRY_AGAIN, 11002}, {NO_RECOVERY, 11003}, {NO_DATA, 11004}};

// getaddrinfo() results; EAI_SYSTEM stands for errno.
const CodeMapping kAddrInfoErrorToWsa[] = {
    {EAI_NONAME, 11001}, {EAI_AGAIN, 11002}, {EAI_NODATA, 11004}, {EAI_MEMORY, 10055}};

// The Winsock code for iCode by the table, or iUnmapped.
template <std::size_t N>
int WsaFrom(const CodeMapping (&table)[N], int iCode, int iUnmapped) {
    for (const CodeMapping& mapping : table) {
        if (mapping.iSystem == iCode) return mapping.iWsa;
    }
    return iUnmapped;
}

// An errno without a counterpart stays the plain system code.
int WsaFromErrno(int iErrno) { return WsaFrom(kErrnoToWsa, iErrno, iErrno); }

int WsaFromHostError(int iHostError) { return WsaFrom(kHostErrorToWsa, iHostError, 11003); }

int WsaFromAddrInfoError(int iError) {
    return iError == EAI_SYSTEM ? WsaFromErrno(errno) : WsaFrom(kAddrInfoErrorToWsa, iError, 11003);
}

int FailWithErrno() {
    t_iLastError = WsaFromErrno(errno);
    return kSocketError;
}

bool SeamFails(seam::Call call) {
    int iCode = 0;
    if (!DORVANE_SEAM_SHOULD_FAIL(call, &iCode)) return false;
    t_iLastError = iCode;
    return true;
}

int Fd(SOCKET s) { return static_cast<int>(s); }

#ifdef MSG_NOSIGNAL
constexpr int kSendNoSignal = MSG_NOSIGNAL;
#else
constexpr int kSendNoSignal = 0;
#endif

// The failed connect that select() last reported on this thread. POSIX
// hands a socket's error out once (reading SO_ERROR clears it), while
// Winsock's select() shows a failed connect every time it is asked, so the
// code is kept here until the socket is closed or another connect fails.
struct FailedConnect {
    int iFd = -1;
    int iErrno = 0;
};
thread_local FailedConnect t_failedConnect;

void ForgetFailedConnect(int iFd) {
    if (t_failedConnect.iFd == iFd) t_failedConnect = FailedConnect{};
}

// Closes a socket that could not be set up; kInvalidSocket, with the
// setup's errno as the code. Used only where the system lacks SOCK_CLOEXEC
// or MSG_NOSIGNAL.
[[maybe_unused]] SOCKET CloseUnfinished(int iFd) {
    FailWithErrno();  // before close() can change errno
    ::close(iFd);
    return kInvalidSocket;
}

// A new socket that child processes do not inherit and that never raises
// SIGPIPE (MSG_NOSIGNAL on each send, or SO_NOSIGPIPE where that is
// missing); kInvalidSocket, with the code in t_iLastError, on failure.
SOCKET NewSocket(int iDomain, int iType, int iProtocol) {
#ifdef SOCK_CLOEXEC
    const int iFd = ::socket(iDomain, iType | SOCK_CLOEXEC, iProtocol);
#else
    const int iFd = ::socket(iDomain, iType, iProtocol);
    if (iFd >= 0 && ::fcntl(iFd, F_SETFD, FD_CLOEXEC) != 0) return CloseUnfinished(iFd);
#endif
#if !defined(MSG_NOSIGNAL) && defined(SO_NOSIGPIPE)
    const int iOn = 1;
    if (iFd >= 0 && ::setsockopt(iFd, SOL_SOCKET, SO_NOSIGPIPE, &iOn, sizeof iOn) != 0) return CloseUnfinished(iFd);
#endif
    if (iFd < 0) {
        FailWithErrno();
        return kInvalidSocket;
    }
    ForgetFailedConnect(iFd);  // the number may be a closed socket's, reused
    return static_cast<SOCKET>(iFd);
}

int TimeoutMilliseconds(const TimeVal* pTimeout) {
    if (pTimeout == nullptr) return -1;
    const long long llMs = static_cast<long long>(pTimeout->tv_sec) * 1000 + pTimeout->tv_usec / 1000;
    if (llMs < 0) return 0;
    return llMs > 0x7fffffffLL ? 0x7fffffff : static_cast<int>(llMs);
}

struct PolledSocket {
    SOCKET s;
    bool bRead, bWrite, bExcept;
};

void CollectSockets(FdSet* pSet, int iWhich, std::vector<PolledSocket>* pPolled) {
    if (pSet == nullptr) return;
    for (unsigned i = 0; i < pSet->fd_count && i < kFdSetSize; ++i) {
        PolledSocket* pFound = nullptr;
        for (PolledSocket& polled : *pPolled) {
            if (polled.s == pSet->fd_array[i]) pFound = &polled;
        }
        if (pFound == nullptr) {
            pPolled->push_back(PolledSocket{pSet->fd_array[i], false, false, false});
            pFound = &pPolled->back();
        }
        if (iWhich == 0) pFound->bRead = true;
        if (iWhich == 1) pFound->bWrite = true;
        if (iWhich == 2) pFound->bExcept = true;
    }
}

int PollRetryingOnSignal(std::vector<pollfd>* pFds, int iTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs);
    for (;;) {
        const int iResult = ::poll(pFds->data(), pFds->size(), iTimeoutMs);
        if (iResult >= 0 || errno != EINTR) return iResult;
        if (iTimeoutMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            iTimeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

}  // namespace

int WSAGetLastError() { return t_iLastError; }
void WSASetLastError(int iError) { t_iLastError = iError; }

SOCKET socket(int iAf, int iType, int iProtocol) {
    if (SeamFails(seam::Call::Socket)) return kInvalidSocket;
    SOCKET injected;
    if (DORVANE_SEAM_TAKE_INJECTED_SOCKET(&injected)) return injected;
    const int iDomain = iAf == kAfInet ? AF_INET : iAf == kAfInet6 ? AF_INET6 : iAf;
    return NewSocket(iDomain, iType == kSockStream ? SOCK_STREAM : iType, iProtocol);
}

int setsockopt(SOCKET s, int iLevel, int iOptName, const char* pOptVal, int iOptLen) {
    if (SeamFails(seam::Call::SetSockOpt)) return kSocketError;
    if (iLevel != kSolSocket || iOptName != kSoSndBuf || iOptLen != 4) {
        t_iLastError = 10042;  // WSAENOPROTOOPT
        return kSocketError;
    }
    int iValue;
    std::memcpy(&iValue, pOptVal, sizeof iValue);
    if (::setsockopt(Fd(s), SOL_SOCKET, SO_SNDBUF, &iValue, sizeof iValue) != 0) return FailWithErrno();
    return 0;
}

int ioctlsocket(SOCKET s, long lCmd, std::uint32_t* puArg) {
    if (SeamFails(seam::Call::IoctlSocket)) return kSocketError;
    if (lCmd != kFionbio || puArg == nullptr) {
        t_iLastError = kWsaEInval;
        return kSocketError;
    }
    const int iFlags = ::fcntl(Fd(s), F_GETFL);
    if (iFlags < 0) return FailWithErrno();
    const int iWanted = *puArg != 0 ? (iFlags | O_NONBLOCK) : (iFlags & ~O_NONBLOCK);
    if (::fcntl(Fd(s), F_SETFL, iWanted) != 0) return FailWithErrno();
    return 0;
}

int connect(SOCKET s, const SockAddrIn* pAddress, int iAddressLength) {
    if (SeamFails(seam::Call::Connect)) return kSocketError;
    if (pAddress == nullptr || iAddressLength < static_cast<int>(sizeof(SockAddrIn))) {
        t_iLastError = kWsaEFault;
        return kSocketError;
    }
    if (DORVANE_SEAM_IS_INJECTED_SOCKET(s)) {  // already connected to the test's peer
        t_iLastError = kWsaEWouldBlock;
        return kSocketError;
    }
    const sockaddr_in address = native::ToNative<sockaddr_in>(*pAddress, AF_INET);
    if (::connect(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    return FailWithErrno();
}

int connect(SOCKET s, const SockAddrIn6* pAddress, int iAddressLength) {
    if (SeamFails(seam::Call::Connect)) return kSocketError;
    if (pAddress == nullptr || iAddressLength < static_cast<int>(sizeof(SockAddrIn6))) {
        t_iLastError = kWsaEFault;
        return kSocketError;
    }
    const sockaddr_in6 address = native::ToNative6<sockaddr_in6>(*pAddress, AF_INET6);
    if (::connect(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    return FailWithErrno();
}

namespace {

// The errno of a failed connect on a socket the caller watches for writing,
// as a Winsock caller watches a connect under way; 0 when it has none. It is
// read as curl's verifyconnect reads it: SO_ERROR, once poll shows an error.
// A connection lost before the request is all sent reads the same way.
int ConnectFailure(const PolledSocket& socket, short sRevents) {
    const int iFd = Fd(socket.s);
    if (!socket.bWrite) return 0;
    if (t_failedConnect.iFd == iFd) return t_failedConnect.iErrno;
    if ((sRevents & POLLERR) == 0) return 0;
    int iError = 0;
    socklen_t iLength = sizeof iError;
    if (::getsockopt(iFd, SOL_SOCKET, SO_ERROR, &iError, &iLength) != 0) iError = errno;
    if (iError != 0) t_failedConnect = FailedConnect{iFd, iError};
    return iError;
}

// Sorts one socket's poll result into the caller's sets; returns how many
// sets it was added to.
int SortReadiness(const PolledSocket& socket, short sRevents, FdSet* pRead, FdSet* pWrite, FdSet* pExcept) {
    if (const int iConnectError = ConnectFailure(socket, sRevents)) {
        // A failed connect shows in the exception set alone, as on Winsock.
        if (!socket.bExcept) return 0;
        FdAdd(socket.s, pExcept);
        t_iLastError = WsaFromErrno(iConnectError);
        return 1;
    }
    int iReady = 0;
    if (socket.bRead && (sRevents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        FdAdd(socket.s, pRead);
        ++iReady;
    }
    if (socket.bWrite && (sRevents & POLLOUT) != 0) {
        FdAdd(socket.s, pWrite);
        ++iReady;
    }
    if (socket.bExcept && (sRevents & POLLPRI) != 0) {
        FdAdd(socket.s, pExcept);
        ++iReady;
    }
    return iReady;
}

}  // namespace

int select(int /*iNfds*/, FdSet* pRead, FdSet* pWrite, FdSet* pExcept, const TimeVal* pTimeout) {
    if (SeamFails(seam::Call::Select)) return kSocketError;
    std::vector<PolledSocket> polled;
    CollectSockets(pRead, 0, &polled);
    CollectSockets(pWrite, 1, &polled);
    CollectSockets(pExcept, 2, &polled);
    if (polled.empty()) {  // nothing to wait for: Winsock fails such a call
        t_iLastError = kWsaEInval;
        return kSocketError;
    }
    std::vector<pollfd> fds;
    for (const PolledSocket& socket : polled) {
        short sEvents = 0;
        if (socket.bRead) sEvents |= POLLIN;
        if (socket.bWrite) sEvents |= POLLOUT;
        if (socket.bExcept) sEvents |= POLLPRI;
        fds.push_back(pollfd{Fd(socket.s), sEvents, 0});
    }
    FdSet readSet{}, writeSet{}, exceptSet{};
    const int iTimeoutMs = TimeoutMilliseconds(pTimeout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(iTimeoutMs < 0 ? 0 : iTimeoutMs);
    int iReady = 0;
    // A socket whose poll shows only what the caller does not watch (a
    // failed connect while the exception set is not watched, a hang-up
    // while only urgent data is) is left out for the rest of the wait,
    // which goes on: Winsock would not report it either.
    for (int iWaitMs = iTimeoutMs;;) {
        if (PollRetryingOnSignal(&fds, iWaitMs) < 0) return FailWithErrno();
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLNVAL) != 0) {
                t_iLastError = 10038;  // WSAENOTSOCK
                return kSocketError;
            }
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const int iSorted = SortReadiness(polled[i], fds[i].revents, &readSet, &writeSet, &exceptSet);
            if (iSorted == 0) fds[i].fd = -1;
            iReady += iSorted;
        }
        if (iReady > 0 || iWaitMs == 0) break;
        if (iWaitMs > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            iWaitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
    if (pRead != nullptr) *pRead = readSet;
    if (pWrite != nullptr) *pWrite = writeSet;
    if (pExcept != nullptr) *pExcept = exceptSet;
    return iReady;
}

int send(SOCKET s, const char* pBuffer, int iLength, int iFlags) {
    if (SeamFails(seam::Call::Send)) return kSocketError;
    const ssize_t iSent = ::send(Fd(s), pBuffer, static_cast<size_t>(iLength), iFlags | kSendNoSignal);
    return iSent < 0 ? FailWithErrno() : static_cast<int>(iSent);
}

int recv(SOCKET s, char* pBuffer, int iLength, int iFlags) {
    if (SeamFails(seam::Call::Recv)) return kSocketError;
    const ssize_t iReceived = ::recv(Fd(s), pBuffer, static_cast<size_t>(iLength), iFlags);
    return iReceived < 0 ? FailWithErrno() : static_cast<int>(iReceived);
}

int shutdown(SOCKET s, int iHow) {
    const int iPosixHow = iHow == 0 ? SHUT_RD : (iHow == kSdSend ? SHUT_WR : SHUT_RDWR);
    return ::shutdown(Fd(s), iPosixHow) == 0 ? 0 : FailWithErrno();
}

int closesocket(SOCKET s) {
    if (SeamFails(seam::Call::CloseSocket)) return kSocketError;
    ForgetFailedConnect(Fd(s));
    return ::close(Fd(s)) == 0 ? 0 : FailWithErrno();
}

HostEnt* gethostbyname(const char* szName) {
    if (SeamFails(seam::Call::GetHostByName)) return nullptr;
    const hostent* pEntry = ::gethostbyname(szName == nullptr ? "" : szName);
    if (pEntry == nullptr) {
        t_iLastError = WsaFromHostError(h_errno);
        return nullptr;
    }
    return native::KeepHostEntry(*pEntry, AF_INET);
}

bool ParseIpv6(const char* szText, unsigned char* aBytes) {
    return szText != nullptr && ::inet_pton(AF_INET6, szText, aBytes) == 1;
}

bool FormatIpv6(const unsigned char* aBytes, char* szText, std::size_t uSize) {
    return ::inet_ntop(AF_INET6, aBytes, szText, static_cast<socklen_t>(uSize)) != nullptr;
}

std::uint32_t inet_addr(const char* szText) {
    return szText == nullptr ? kInaddrNone : static_cast<std::uint32_t>(::inet_addr(szText));
}

// --- Name service: getaddrinfo and inet_ntop.

namespace {

// The limits of the Windows side, kept here so that a name or a scripted
// answer fails the same way everywhere: the UTF-16 units of a name with its
// NUL, and the bytes of an answer.
constexpr int kNameUnits = 512;
constexpr std::uint32_t kAnswerBytes = 1024;

struct AnswerEntry {
    const void* pAddress;
    std::size_t uLength;
};

// Writes the text of an IPv4 socket address as WSAAddressToStringW does.
bool WriteIpv4Text(const sockaddr_in& address, char* szAddress, std::uint32_t* puSize) {
    char szHost[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &address.sin_addr, szHost, sizeof szHost);
    char szText[INET_ADDRSTRLEN + 8];
    const int iLength = address.sin_port == 0
                            ? std::snprintf(szText, sizeof szText, "%s", szHost)
                            : std::snprintf(szText, sizeof szText, "%s:%u", szHost, ntohs(address.sin_port));
    const std::uint32_t uNeeded = static_cast<std::uint32_t>(iLength) + 1;
    if (uNeeded > *puSize) {
        *puSize = uNeeded;
        t_iLastError = kWsaEFault;
        return false;
    }
    std::memcpy(szAddress, szText, uNeeded);
    *puSize = uNeeded;
    return true;
}

// Writes the first IPv4 address of the entries that converts.
bool WriteFirstIpv4(const std::vector<AnswerEntry>& entries, char* szAddress, std::uint32_t* puSize) {
    for (const AnswerEntry& entry : entries) {
        sockaddr_in address;
        if (entry.uLength < sizeof address) continue;
        std::memcpy(&address, entry.pAddress, sizeof address);
        if (address.sin_family != AF_INET || SeamFails(seam::Call::AddressToString)) continue;
        return WriteIpv4Text(address, szAddress, puSize);
    }
    t_iLastError = kWsaENoMore;
    return false;
}

bool LookupScripted(const seam::ScriptedAnswer& answer, char* szAddress, std::uint32_t* puSize) {
    if (SeamFails(seam::Call::LookupServiceNext)) return false;
    if (answer.uBytes > kAnswerBytes) {
        t_iLastError = kWsaEFault;
        return false;
    }
    std::vector<AnswerEntry> entries;
    for (const seam::ScriptedAddress& address : answer.addresses) {
        entries.push_back({address.bytes.data(), address.bytes.size()});
    }
    return WriteFirstIpv4(entries, szAddress, puSize);
}

// getaddrinfo's answer for szHost, stream sockets of the family iFamily,
// for the caller to free; null, the code in t_iLastError, on failure.
addrinfo* StreamAnswer(const char* szHost, int iFamily) {
    addrinfo hints{};
    hints.ai_family = iFamily;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    const int iError = ::getaddrinfo(szHost, nullptr, &hints, &pResult);
    if (iError == 0) return pResult;
    t_iLastError = WsaFromAddrInfoError(iError);
    return nullptr;
}

}  // namespace

bool LookupHostAddress(const char* szHost, char* szAddress, std::uint32_t* puSize) {
    if (szHost == nullptr || szAddress == nullptr || puSize == nullptr ||
        os::Utf8ToWide(szHost, -1, nullptr, 0) > kNameUnits) {
        t_iLastError = kWsaEFault;
        return false;
    }
    if (SeamFails(seam::Call::LookupServiceBegin)) return false;
    if (const seam::ScriptedAnswer* pScripted = DORVANE_SEAM_SCRIPTED_ANSWER(szHost)) {
        return LookupScripted(*pScripted, szAddress, puSize);
    }
    addrinfo* pResult = StreamAnswer(szHost, AF_INET);
    if (pResult == nullptr) return false;
    std::vector<AnswerEntry> entries;
    for (const addrinfo* p = pResult; p != nullptr; p = p->ai_next) entries.push_back({p->ai_addr, p->ai_addrlen});
    const bool bResult = !SeamFails(seam::Call::LookupServiceNext) && WriteFirstIpv4(entries, szAddress, puSize);
    ::freeaddrinfo(pResult);
    return bResult;
}

bool LookupAllAddresses(const char* szHost, std::vector<std::string>* pAddresses) {
    if (szHost == nullptr) szHost = "";
    if (native::ScriptedAddresses(DORVANE_SEAM_SCRIPTED_ANSWER(szHost), pAddresses)) return true;
    addrinfo* pResult = StreamAnswer(szHost, AF_UNSPEC);
    if (pResult == nullptr) return false;
    for (const addrinfo* p = pResult; p != nullptr; p = p->ai_next) {
        char szText[INET6_ADDRSTRLEN] = "";
        if (p->ai_family == AF_INET) {
            ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr, szText, sizeof szText);
        } else if (p->ai_family == AF_INET6) {
            ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr, szText, sizeof szText);
        }
        native::AddAddressOnce(szText, pAddresses);
    }
    ::freeaddrinfo(pResult);
    return true;
}

}  // namespace winsock

namespace os {

bool ReadEnvironment(const char* szName, std::string* pValue) {
    const char* szValue = std::getenv(szName);
    if (szValue == nullptr || szValue[0] == '\0') return false;
    pValue->assign(szValue);
    return true;
}

bool MachineProxy(bool /*bSecure*/, std::string* /*pProxy*/, std::string* /*pBypass*/) { return false; }

}  // namespace os

namespace os {
namespace {

std::string ToUtf8(const char16_t* wszText) {
    const int iBytes = WideToUtf8(wszText, -1, nullptr, 0);
    if (iBytes <= 0) return std::string();
    std::string szText(static_cast<size_t>(iBytes), '\0');
    WideToUtf8(wszText, -1, &szText[0], iBytes);
    szText.resize(static_cast<size_t>(iBytes - 1));
    return szText;
}

// Decodes one UTF-8 sequence at p (bytes left: iLeft). Invalid input gives
// U+FFFD for one byte, as Windows does without MB_ERR_INVALID_CHARS.
char32_t DecodeUtf8(const unsigned char* p, int iLeft, int* piUsed) {
    *piUsed = 1;
    if (p[0] < 0x80) return p[0];
    int iExtra = p[0] >= 0xF0 && p[0] < 0xF5 ? 3 : p[0] >= 0xE0 ? 2 : p[0] >= 0xC2 && p[0] < 0xE0 ? 1 : -1;
    if (iExtra < 0 || iExtra >= iLeft) return 0xFFFD;
    char32_t c = p[0] & (0x3F >> iExtra);
    for (int i = 1; i <= iExtra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (p[i] & 0x3F);
    }
    const char32_t aMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (c < aMinimum[iExtra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0xFFFD;
    *piUsed = iExtra + 1;
    return c;
}

}  // namespace

int Utf8ToWide(const char* szSource, int iSourceLength, char16_t* wszDest, int iDestUnits) {
    if (szSource == nullptr) return 0;
    const int iLength = iSourceLength < 0 ? static_cast<int>(std::strlen(szSource)) + 1 : iSourceLength;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(szSource);
    int iUnits = 0;
    for (int i = 0; i < iLength;) {
        int iUsed = 1;
        const char32_t c = DecodeUtf8(p + i, iLength - i, &iUsed);
        i += iUsed;
        const int iNeeded = c >= 0x10000 ? 2 : 1;
        if (iDestUnits > 0) {
            if (iUnits + iNeeded > iDestUnits) return 0;
            if (iNeeded == 2) {
                wszDest[iUnits] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                wszDest[iUnits + 1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                wszDest[iUnits] = static_cast<char16_t>(c);
            }
        }
        iUnits += iNeeded;
    }
    return iUnits;
}

int WideToUtf8(const char16_t* wszSource, int iSourceUnits, char* szDest, int iDestBytes) {
    if (wszSource == nullptr) return 0;
    int iLength = iSourceUnits;
    if (iLength < 0) {
        iLength = 0;
        while (wszSource[iLength] != 0) ++iLength;
        ++iLength;
    }
    int iBytes = 0;
    for (int i = 0; i < iLength; ++i) {
        char32_t c = wszSource[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < iLength && wszSource[i + 1] >= 0xDC00 && wszSource[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wszSource[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        unsigned char aBytes[4];
        int iCount;
        if (c < 0x80) {
            aBytes[0] = static_cast<unsigned char>(c);
            iCount = 1;
        } else if (c < 0x800) {
            aBytes[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
            iCount = 2;
        } else if (c < 0x10000) {
            aBytes[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
            iCount = 3;
        } else {
            aBytes[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
            iCount = 4;
        }
        for (int k = 1; k < iCount; ++k)
            aBytes[k] = static_cast<unsigned char>(0x80 | ((c >> (6 * (iCount - 1 - k))) & 0x3F));
        if (iDestBytes > 0) {
            if (iBytes + iCount > iDestBytes) return 0;
            std::memcpy(szDest + iBytes, aBytes, static_cast<size_t>(iCount));
        }
        iBytes += iCount;
    }
    return iBytes;
}

namespace {

// The user's private directory under /tmp, made when missing; empty when
// it cannot be made, or what is there is not a real directory of this
// user that only the user may write to (another user may have planted it).
std::string PrivateTempDirectory() {
    const uid_t uid = ::geteuid();
    const std::string szDirectory = "/tmp/dorvane-" + std::to_string(uid);
    if (::mkdir(szDirectory.c_str(), 0700) != 0 && errno != EEXIST) return std::string();
    struct stat info {};
    if (::lstat(szDirectory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != uid ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::string();
    }
    return szDirectory;
}

}  // namespace

std::uint32_t GetTempPathWide(std::uint32_t uUnits, char16_t* wszBuffer) {
    const char* szEnv = std::getenv("TMPDIR");
    std::string szDirectory = (szEnv != nullptr && szEnv[0] != '\0') ? szEnv : PrivateTempDirectory();
    if (szDirectory.empty()) return 0;
    if (szDirectory.back() != '/') szDirectory += '/';
    const int iUnits = Utf8ToWide(szDirectory.c_str(), -1, nullptr, 0);
    if (iUnits <= 0) return 0;
    if (static_cast<std::uint32_t>(iUnits) > uUnits || wszBuffer == nullptr) return static_cast<std::uint32_t>(iUnits);
    Utf8ToWide(szDirectory.c_str(), -1, wszBuffer, iUnits);
    return static_cast<std::uint32_t>(iUnits - 1);
}

bool IsForeignFile(const char16_t* /*wszPath*/) { return false; }

bool PathExists(const char16_t* wszPath) {
    struct stat info;
    return ::stat(ToUtf8(wszPath).c_str(), &info) == 0;
}

namespace {

// Opens a file (iFlags as for open(), new files 0600) without waiting on
// a FIFO or device, and keeps it only when it is a regular file: -1
// (errno set) otherwise. *pInfo gets its status.
int OpenRegular(const std::string& szPath, int iFlags, struct stat* pInfo) {
    const int iFd = ::open(szPath.c_str(), iFlags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (iFd < 0) return -1;
    *pInfo = {};
    if (::fstat(iFd, pInfo) == 0 && S_ISREG(pInfo->st_mode) && ::fcntl(iFd, F_SETFL, iFlags & O_APPEND) == 0) {
        return iFd;  // blocking again, as a stream expects
    }
    const int iError = S_ISDIR(pInfo->st_mode) ? EISDIR : EINVAL;
    ::close(iFd);
    errno = iError;
    return -1;
}

// Opens a file for reading without following a symbolic link; -1 (errno
// set) unless it is a regular file.
int OpenRegularForReading(const std::string& szPath) {
    struct stat info;
    return OpenRegular(szPath, O_RDONLY | O_NOFOLLOW, &info);
}

// open() flags for an fopen mode; false for a mode fopen would refuse.
bool OpenFlags(const char* szMode, int* piFlags) {
    if (szMode == nullptr) return false;
    switch (szMode[0]) {
        case 'r':
            *piFlags = O_RDONLY;
            break;
        case 'w':
            *piFlags = O_WRONLY | O_CREAT;
            break;
        case 'a':
            *piFlags = O_WRONLY | O_CREAT | O_APPEND;
            break;
        default:
            return false;
    }
    if (std::strchr(szMode + 1, '+') != nullptr) *piFlags = (*piFlags & ~O_ACCMODE) | O_RDWR;
    return true;
}

bool WriteAll(int iFd, const char* pData, std::size_t uLength) {
    while (uLength > 0) {
        const ssize_t iWritten = ::write(iFd, pData, uLength);
        if (iWritten < 0 && errno == EINTR) continue;
        if (iWritten <= 0) return false;
        pData += iWritten;
        uLength -= static_cast<std::size_t>(iWritten);
    }
    return true;
}

// Makes a new file from szTemplate, whose "XXXXXX" it replaces: mode 0600,
// not inherited by child processes. -1 with errno on failure.
int MakeTemporaryFile(std::string* pszTemplate) {
#ifdef __GLIBC__
    return ::mkostemp(&(*pszTemplate)[0], O_CLOEXEC);
#else
    const int iFd = ::mkstemp(&(*pszTemplate)[0]);
    if (iFd < 0 || ::fcntl(iFd, F_SETFD, FD_CLOEXEC) == 0) return iFd;
    const int iError = errno;
    ::close(iFd);
    ::unlink(pszTemplate->c_str());
    errno = iError;
    return -1;
#endif
}

bool CopyAll(int iFrom, int iTo) {
    char aBuffer[65536];
    for (;;) {
        const ssize_t iRead = ::read(iFrom, aBuffer, sizeof aBuffer);
        if (iRead < 0 && errno == EINTR) continue;
        if (iRead <= 0) return iRead == 0;
        if (!WriteAll(iTo, aBuffer, static_cast<std::size_t>(iRead))) return false;
    }
}

}  // namespace

bool CopyFileReplacing(const char16_t* wszFrom, const char16_t* wszTo) {
    const int iFrom = OpenRegularForReading(ToUtf8(wszFrom));
    if (iFrom < 0) return false;
    const std::string szTo = ToUtf8(wszTo);
    std::string szTemporary = szTo + ".XXXXXX";
    const int iTo = MakeTemporaryFile(&szTemporary);
    bool bDone = iTo >= 0 && CopyAll(iFrom, iTo);
    if (iTo >= 0) bDone = ::close(iTo) == 0 && bDone;
    bDone = bDone && ::rename(szTemporary.c_str(), szTo.c_str()) == 0;
    const int iError = errno;
    ::close(iFrom);
    if (!bDone && iTo >= 0) ::unlink(szTemporary.c_str());
    errno = iError;
    return bDone;
}

std::FILE* OpenFileWide(const char16_t* wszPath, const char* szMode, LinkPolicy links) {
    int iFlags = 0;
    if (wszPath == nullptr || !OpenFlags(szMode, &iFlags)) {
        errno = EINVAL;
        return nullptr;
    }
    if (links == LinkPolicy::Refuse) iFlags |= O_NOFOLLOW;
    struct stat info;
    const int iFd = OpenRegular(ToUtf8(wszPath), iFlags, &info);
    if (iFd < 0) return nullptr;
    // Emptied only now that it is known to be a regular file. The mode is
    // a best effort: some file systems keep none.
    const bool bReady = szMode[0] != 'w' || ::ftruncate(iFd, 0) == 0;
    if (bReady && szMode[0] == 'w' && info.st_uid == ::geteuid()) (void)::fchmod(iFd, 0600);
    std::FILE* pFile = bReady ? ::fdopen(iFd, szMode) : nullptr;
    if (pFile == nullptr) {
        const int iError = errno;
        ::close(iFd);
        errno = iError;
    }
    return pFile;
}

int LastSystemError() { return errno; }

namespace {

// The C library's text for an errno: glibc's own English text, the same
// whatever the locale, and null for a code it has none for; elsewhere the
// standard library's (strerror's), which names an unknown code instead.
// The text lives until the next call on this thread.
const char* ErrnoText(int iErrno) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
    return ::strerrordesc_np(iErrno);
#else
    thread_local std::string t_szText;
    t_szText = std::generic_category().message(iErrno);
    return t_szText.c_str();
#endif
}

}  // namespace

bool SystemErrorText(int iCode, char* szBuffer, std::uint32_t uSize) {
    if (szBuffer == nullptr || uSize == 0) return false;
    int iErrno = 0;
    for (const winsock::CodeMapping& mapping : winsock::kErrnoToWsa) {
        if (mapping.iWsa == iCode) {
            iErrno = mapping.iSystem;
            break;
        }
    }
    if (iErrno == 0 && iCode > 0 && iCode < 4096) iErrno = iCode;
    // No catalogue entry: the text is empty rather than a made-up one.
    const char* szText = iErrno != 0 ? ErrnoText(iErrno) : nullptr;
    if (szText == nullptr) szText = "";
    // The C library's texts are short ASCII and fit any buffer the program uses.
    std::snprintf(szBuffer, uSize, "%s", szText);
    return szText[0] != '\0';
}

bool Utf8Arguments(int* /*piArgc*/, char*** /*pppArgv*/) { return true; }

void Sleep(std::uint32_t uMilliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(uMilliseconds)); }

bool WriteText(std::FILE* pStream, const char* szText) { return std::fputs(szText, pStream) >= 0; }

bool IsTerminal(std::FILE* pStream) { return pStream != nullptr && ::isatty(::fileno(pStream)) == 1; }

struct CriticalSection::Impl {
    std::recursive_mutex mutex;
};

CriticalSection::CriticalSection() : m_pImpl(new Impl) {}
CriticalSection::~CriticalSection() = default;
void CriticalSection::Enter() { m_pImpl->mutex.lock(); }
void CriticalSection::Leave() { m_pImpl->mutex.unlock(); }

}  // namespace os
