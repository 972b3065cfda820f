// The Windows implementation of Platform.h: Winsock 2 and the Win32
// wide-name calls.
//
// Most calls pass straight through. Winsock already reports its own error
// codes, so they need no translation here; what this file adds is the
// conversion between our plain structures and the system's, the checks of
// the test seam, and the reading of SO_ERROR that makes a failed non-blocking
// connect report its error through WSAGetLastError() after select(), as the
// callers expect on every system.
//
// winsock::WSAGetLastError() is the last error of this thread's socket
// calls. Windows keeps that code in the thread's one last-error slot, which
// every file, memory and thread-storage call may overwrite as well (writing
// a log record between a failed call and the record of its code would
// replace 10038 with 183, "already exists"). So each failed call here takes
// the system's code at once into a per-thread copy, and that copy is what
// callers read.

// The classic Winsock calls this layer passes on (gethostbyname, inet_addr)
// are marked deprecated by Microsoft's headers; they
// are used on purpose, so MSVC is told not to warn about them. These must
// come before the first system header.
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS
#endif
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS
#endif

#include "Platform.h"

#include "NativeTypes.h"
#include "TestSeam.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>
#include <winhttp.h>

#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// The socket library is started before main runs, so that every socket
// call of the program finds it ready. Version 1.1 is all Dorvane needs.
// Without it nothing useful can happen: end the process at once, quietly.
void StopSocketLibrary() { ::WSACleanup(); }

struct SocketLibrary {
    SocketLibrary() {
        WSADATA data;
        if (::WSAStartup(MAKEWORD(1, 1), &data) != 0) ::ExitProcess(static_cast<UINT>(-1));
        std::atexit(StopSocketLibrary);
    }
};

const SocketLibrary g_socketLibrary;

}  // namespace

namespace winsock {
namespace {

thread_local int t_iLastError = 0;

// Records an error code of our own making.
void SetError(int iError) {
    t_iLastError = iError;
    ::WSASetLastError(iError);
}

// Records the code the system just gave for a failed call. The code is read
// before anything else runs: even the first use of t_iLastError on a thread
// may clear the system's slot.
int FailFromSystem() {
    const int iError = ::WSAGetLastError();
    t_iLastError = iError;
    return kSocketError;
}

bool SeamFails(seam::Call call) {
    int iCode = 0;
    if (!DORVANE_SEAM_SHOULD_FAIL(call, &iCode)) return false;
    SetError(iCode);
    return true;
}

::SOCKET Native(SOCKET s) { return static_cast<::SOCKET>(s); }

// Copies a set in; null when there is no set or it holds no socket, as
// Winsock wants every set it is given to hold one.
fd_set* CopyIn(const FdSet* pSet, fd_set* pNative) {
    if (pSet == nullptr || pSet->fd_count == 0) return nullptr;
    pNative->fd_count = 0;
    for (unsigned i = 0; i < pSet->fd_count && i < kFdSetSize && i < FD_SETSIZE; ++i) {
        pNative->fd_array[pNative->fd_count++] = Native(pSet->fd_array[i]);
    }
    return pNative;
}

void RemoveNative(::SOCKET s, fd_set* pNative) {
    u_int uKept = 0;
    for (u_int i = 0; i < pNative->fd_count; ++i) {
        if (pNative->fd_array[i] != s) pNative->fd_array[uKept++] = pNative->fd_array[i];
    }
    pNative->fd_count = uKept;
}

void CopyOut(const fd_set* pNative, FdSet* pSet) {
    FdZero(pSet);
    for (u_int i = 0; i < pNative->fd_count; ++i) FdAdd(static_cast<SOCKET>(pNative->fd_array[i]), pSet);
}

// The failed connect that select() last reported on this thread. Winsock
// shows a failed connect in the exception set on every call, but may hand
// its code out of SO_ERROR only once, so the code is kept here until the
// socket is closed or another connect fails, as the POSIX side keeps it.
struct FailedConnect {
    ::SOCKET s = INVALID_SOCKET;
    int iError = 0;
};
thread_local FailedConnect t_failedConnect;

// The code of a failed connect on a socket of the exception set: the one
// kept for it, else getsockopt(SO_ERROR), as curl's verifyconnect reads it;
// 0 when it has none (a socket there for urgent data).
int ConnectError(::SOCKET s) {
    if (t_failedConnect.s == s) return t_failedConnect.iError;
    int iError = 0;
    int iLength = sizeof iError;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&iError), &iLength) != 0) return 0;
    if (iError != 0) t_failedConnect = FailedConnect{s, iError};
    return iError;
}

// A socket of the exception set with a failed connect is taken out of the
// read and write sets, and its code is returned (0 when none has one).
int TakeConnectFailures(fd_set* pRead, fd_set* pWrite, const fd_set* pExcept) {
    int iFailure = 0;
    for (u_int i = 0; pExcept != nullptr && i < pExcept->fd_count; ++i) {
        const ::SOCKET s = pExcept->fd_array[i];
        const int iError = ConnectError(s);
        if (iError == 0) continue;
        if (pRead != nullptr) RemoveNative(s, pRead);
        if (pWrite != nullptr) RemoveNative(s, pWrite);
        iFailure = iError;
    }
    return iFailure;
}

}  // namespace

int WSAGetLastError() { return t_iLastError; }
void WSASetLastError(int iError) { SetError(iError); }

SOCKET socket(int iAf, int iType, int iProtocol) {
    if (SeamFails(seam::Call::Socket)) return kInvalidSocket;
    SOCKET injected;
    if (DORVANE_SEAM_TAKE_INJECTED_SOCKET(&injected)) return injected;
    // Not handed to child processes, as on POSIX (close-on-exec): a child
    // holding a copy would keep a connection open after we close it. Asked
    // at creation, which a layered service provider cannot silently undo as
    // it can SetHandleInformation; overlapped, as socket() makes it.
    const ::SOCKET s =
        ::WSASocketW(iAf, iType, iProtocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        FailFromSystem();
        return kInvalidSocket;
    }
    return static_cast<SOCKET>(s);
}

int setsockopt(SOCKET s, int iLevel, int iOptName, const char* pOptVal, int iOptLen) {
    if (SeamFails(seam::Call::SetSockOpt)) return kSocketError;
    if (iLevel != kSolSocket || iOptName != kSoSndBuf) {
        SetError(WSAENOPROTOOPT);
        return kSocketError;
    }
    return ::setsockopt(Native(s), SOL_SOCKET, SO_SNDBUF, pOptVal, iOptLen) == 0 ? 0 : FailFromSystem();
}

int ioctlsocket(SOCKET s, long lCmd, std::uint32_t* puArg) {
    if (SeamFails(seam::Call::IoctlSocket)) return kSocketError;
    if (lCmd != kFionbio || puArg == nullptr) {
        SetError(WSAEINVAL);
        return kSocketError;
    }
    u_long uArg = *puArg;
    if (::ioctlsocket(Native(s), FIONBIO, &uArg) != 0) return FailFromSystem();
    *puArg = static_cast<std::uint32_t>(uArg);
    return 0;
}

int connect(SOCKET s, const SockAddrIn* pAddress, int iAddressLength) {
    if (SeamFails(seam::Call::Connect)) return kSocketError;
    if (pAddress == nullptr || iAddressLength < static_cast<int>(sizeof(SockAddrIn))) {
        SetError(WSAEFAULT);
        return kSocketError;
    }
    if (DORVANE_SEAM_IS_INJECTED_SOCKET(s)) {  // already connected to the test's peer
        SetError(WSAEWOULDBLOCK);
        return kSocketError;
    }
    const sockaddr_in address = native::ToNative<sockaddr_in>(*pAddress, AF_INET);
    if (::connect(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    return FailFromSystem();
}

int connect(SOCKET s, const SockAddrIn6* pAddress, int iAddressLength) {
    if (SeamFails(seam::Call::Connect)) return kSocketError;
    if (pAddress == nullptr || iAddressLength < static_cast<int>(sizeof(SockAddrIn6))) {
        SetError(WSAEFAULT);
        return kSocketError;
    }
    const sockaddr_in6 address = native::ToNative6<sockaddr_in6>(*pAddress, AF_INET6);
    if (::connect(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    return FailFromSystem();
}

int select(int /*iNfds*/, FdSet* pRead, FdSet* pWrite, FdSet* pExcept, const TimeVal* pTimeout) {
    if (SeamFails(seam::Call::Select)) return kSocketError;
    fd_set read, write, except;
    fd_set* pNativeRead = CopyIn(pRead, &read);
    fd_set* pNativeWrite = CopyIn(pWrite, &write);
    fd_set* pNativeExcept = CopyIn(pExcept, &except);
    if (pNativeRead == nullptr && pNativeWrite == nullptr && pNativeExcept == nullptr) {
        SetError(WSAEINVAL);  // what Winsock itself answers
        return kSocketError;
    }
    timeval timeout{};
    if (pTimeout != nullptr) {
        timeout.tv_sec = pTimeout->tv_sec;
        timeout.tv_usec = pTimeout->tv_usec;
    }
    if (::select(0, pNativeRead, pNativeWrite, pNativeExcept, pTimeout != nullptr ? &timeout : nullptr) ==
        SOCKET_ERROR) {
        return FailFromSystem();
    }
    const int iFailure = TakeConnectFailures(pNativeRead, pNativeWrite, pNativeExcept);
    int iReady = 0;
    if (pNativeRead != nullptr) {
        CopyOut(&read, pRead);
        iReady += static_cast<int>(pRead->fd_count);
    }
    if (pNativeWrite != nullptr) {
        CopyOut(&write, pWrite);
        iReady += static_cast<int>(pWrite->fd_count);
    }
    if (pNativeExcept != nullptr) {
        CopyOut(&except, pExcept);
        iReady += static_cast<int>(pExcept->fd_count);
    }
    if (iFailure != 0) SetError(iFailure);
    return iReady;
}

int send(SOCKET s, const char* pBuffer, int iLength, int iFlags) {
    if (SeamFails(seam::Call::Send)) return kSocketError;
    const int iSent = ::send(Native(s), pBuffer, iLength, iFlags);
    return iSent == SOCKET_ERROR ? FailFromSystem() : iSent;
}

int recv(SOCKET s, char* pBuffer, int iLength, int iFlags) {
    if (SeamFails(seam::Call::Recv)) return kSocketError;
    const int iReceived = ::recv(Native(s), pBuffer, iLength, iFlags);
    return iReceived == SOCKET_ERROR ? FailFromSystem() : iReceived;
}

int shutdown(SOCKET s, int iHow) { return ::shutdown(Native(s), iHow) == 0 ? 0 : FailFromSystem(); }

int closesocket(SOCKET s) {
    if (SeamFails(seam::Call::CloseSocket)) return kSocketError;
    if (t_failedConnect.s == Native(s)) t_failedConnect = FailedConnect{};  // the handle may be reused
    return ::closesocket(Native(s)) == 0 ? 0 : FailFromSystem();
}

HostEnt* gethostbyname(const char* szName) {
    if (SeamFails(seam::Call::GetHostByName)) return nullptr;
    const hostent* pEntry = ::gethostbyname(szName == nullptr ? "" : szName);
    if (pEntry == nullptr) {
        FailFromSystem();
        return nullptr;
    }
    return native::KeepHostEntry(*pEntry, AF_INET);
}

std::uint32_t inet_addr(const char* szText) {
    return szText == nullptr ? kInaddrNone : static_cast<std::uint32_t>(::inet_addr(szText));
}

bool ParseIpv6(const char* szText, unsigned char* aBytes) {
    return szText != nullptr && ::inet_pton(AF_INET6, szText, aBytes) == 1;
}

bool FormatIpv6(const unsigned char* aBytes, char* szText, std::size_t uSize) {
    return ::inet_ntop(AF_INET6, const_cast<unsigned char*>(aBytes), szText, uSize) != nullptr;
}

bool LookupAllAddresses(const char* szHost, std::vector<std::string>* pAddresses) {
    if (szHost == nullptr) szHost = "";
    if (native::ScriptedAddresses(DORVANE_SEAM_SCRIPTED_ANSWER(szHost), pAddresses)) return true;
    const int iUnits = os::Utf8ToWide(szHost, -1, nullptr, 0);
    if (iUnits <= 0) {
        SetError(WSAHOST_NOT_FOUND);
        return false;
    }
    std::u16string wszHost(static_cast<std::size_t>(iUnits), u'\0');
    os::Utf8ToWide(szHost, -1, &wszHost[0], iUnits);
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ADDRINFOW* pResult = nullptr;
    const int iError = ::GetAddrInfoW(reinterpret_cast<const wchar_t*>(wszHost.c_str()), nullptr, &hints, &pResult);
    if (iError != 0) {
        SetError(iError);
        return false;
    }
    for (const ADDRINFOW* p = pResult; p != nullptr; p = p->ai_next) {
        char szText[INET6_ADDRSTRLEN] = "";
        if (p->ai_family == AF_INET) {
            in_addr address = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr;
            ::inet_ntop(AF_INET, &address, szText, sizeof szText);
        } else if (p->ai_family == AF_INET6) {
            in6_addr address = reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr;
            ::inet_ntop(AF_INET6, &address, szText, sizeof szText);
        }
        native::AddAddressOnce(szText, pAddresses);
    }
    ::FreeAddrInfoW(pResult);
    return true;
}

// --- Name service: WSALookupServiceBeginW/NextW/End and WSAAddressToStringW.

namespace {

// The service class of host names, SVCID_HOSTNAME.
const GUID kHostNameClass = {0x0002a800, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr DWORD kLookupFlags = LUP_RETURN_NAME | LUP_RETURN_ADDR;
constexpr int kNameUnits = 512;  // the host name and the address text in UTF-16
// The room one answer gets. An answer that needs more is reported as a
// failure rather than retried.
constexpr DWORD kAnswerBytes = 1024;

struct AnswerEntry {
    const sockaddr* pAddress;
    int iLength;
};

// Writes the first IPv4 address that WSAAddressToStringW converts as UTF-8.
bool WriteFirstIpv4(const std::vector<AnswerEntry>& entries, char* szAddress, std::uint32_t* puSize) {
    for (const AnswerEntry& entry : entries) {
        if (entry.pAddress == nullptr || entry.iLength < static_cast<int>(sizeof(sockaddr_in)) ||
            entry.pAddress->sa_family != AF_INET || SeamFails(seam::Call::AddressToString)) {
            continue;
        }
        char16_t wszText[kNameUnits];
        DWORD dwUnits = kNameUnits;
        if (::WSAAddressToStringW(const_cast<sockaddr*>(entry.pAddress), static_cast<DWORD>(entry.iLength), nullptr,
                                  reinterpret_cast<wchar_t*>(wszText), &dwUnits) != 0) {
            continue;
        }
        const int iNeeded = os::WideToUtf8(wszText, -1, nullptr, 0);
        if (iNeeded <= 0 || static_cast<std::uint32_t>(iNeeded) > *puSize) {
            *puSize = static_cast<std::uint32_t>(iNeeded);
            SetError(WSAEFAULT);
            return false;
        }
        *puSize = static_cast<std::uint32_t>(os::WideToUtf8(wszText, -1, szAddress, iNeeded));
        return true;
    }
    SetError(WSA_E_NO_MORE);
    return false;
}

bool LookupScripted(const seam::ScriptedAnswer& answer, char* szAddress, std::uint32_t* puSize) {
    if (SeamFails(seam::Call::LookupServiceNext)) return false;
    if (answer.uBytes > kAnswerBytes) {
        SetError(WSAEFAULT);
        return false;
    }
    std::vector<AnswerEntry> entries;
    for (const seam::ScriptedAddress& address : answer.addresses) {
        const sockaddr* pAddress = reinterpret_cast<const sockaddr*>(address.bytes.data());
        entries.push_back({pAddress, static_cast<int>(address.bytes.size())});
    }
    return WriteFirstIpv4(entries, szAddress, puSize);
}

// One WSALookupServiceNextW into kAnswerBytes on the heap, then the walk.
bool FetchAnswer(HANDLE hLookup, char* szAddress, std::uint32_t* puSize) {
    if (SeamFails(seam::Call::LookupServiceNext)) return false;
    std::unique_ptr<unsigned char[]> pBuffer(new unsigned char[kAnswerBytes]);
    WSAQUERYSETW* pAnswer = reinterpret_cast<WSAQUERYSETW*>(pBuffer.get());
    DWORD dwLength = kAnswerBytes;
    if (::WSALookupServiceNextW(hLookup, kLookupFlags, &dwLength, pAnswer) != 0) {
        FailFromSystem();
        return false;
    }
    std::vector<AnswerEntry> entries;
    for (DWORD i = 0; i < pAnswer->dwNumberOfCsAddrs && pAnswer->lpcsaBuffer != nullptr; ++i) {
        const SOCKET_ADDRESS& remote = pAnswer->lpcsaBuffer[i].RemoteAddr;
        entries.push_back({remote.lpSockaddr, remote.iSockaddrLength});
    }
    return WriteFirstIpv4(entries, szAddress, puSize);
}

}  // namespace

bool LookupHostAddress(const char* szHost, char* szAddress, std::uint32_t* puSize) {
    char16_t wszName[kNameUnits];
    if (szHost == nullptr || szAddress == nullptr || puSize == nullptr ||
        os::Utf8ToWide(szHost, -1, wszName, kNameUnits) <= 0) {
        SetError(WSAEFAULT);
        return false;
    }
    if (SeamFails(seam::Call::LookupServiceBegin)) return false;
    if (const seam::ScriptedAnswer* pScripted = DORVANE_SEAM_SCRIPTED_ANSWER(szHost)) {
        return LookupScripted(*pScripted, szAddress, puSize);
    }
    GUID serviceClass = kHostNameClass;
    WSAQUERYSETW query;
    std::memset(&query, 0, sizeof query);
    query.dwSize = sizeof query;
    query.lpszServiceInstanceName = reinterpret_cast<wchar_t*>(wszName);
    query.lpServiceClassId = &serviceClass;
    query.dwNameSpace = NS_ALL;
    HANDLE hLookup = nullptr;
    if (::WSALookupServiceBeginW(&query, kLookupFlags, &hLookup) != 0) {
        FailFromSystem();
        return false;
    }
    const bool bResult = FetchAnswer(hLookup, szAddress, puSize);
    ::WSALookupServiceEnd(hLookup);
    return bResult;
}

}  // namespace winsock

namespace os {
namespace {

// UTF-16 text as UTF-8 ("" when it cannot be converted).
std::string Utf8Of(const wchar_t* wszText) {
    const char16_t* wszSource = reinterpret_cast<const char16_t*>(wszText);
    const int iBytes = WideToUtf8(wszSource, -1, nullptr, 0);
    if (iBytes <= 1) return std::string();
    std::vector<char> buffer(static_cast<std::size_t>(iBytes));
    if (WideToUtf8(wszSource, -1, buffer.data(), iBytes) != iBytes) return std::string();
    return std::string(buffer.data());
}

// The entry of a WinHTTP proxy list ("host:port", or "scheme=host:port"
// entries separated by ';' or blanks) for szScheme, or the one for every
// scheme.
std::string ProxyEntryFor(const std::string& list, const char* szScheme) {
    std::string any;
    std::size_t uStart = 0;
    while (uStart < list.size()) {
        std::size_t uEnd = list.find_first_of("; ", uStart);
        if (uEnd == std::string::npos) uEnd = list.size();
        const std::string entry = list.substr(uStart, uEnd - uStart);
        uStart = uEnd + 1;
        const std::size_t uEquals = entry.find('=');
        if (uEquals == std::string::npos) {
            if (any.empty()) any = entry;
        } else if (entry.compare(0, uEquals, szScheme) == 0) {
            return entry.substr(uEquals + 1);
        }
    }
    return any;
}

}  // namespace

bool ReadEnvironment(const char* szName, std::string* pValue) {
    std::u16string wszName;
    for (const char* p = szName; *p != '\0'; ++p) wszName += static_cast<char16_t>(*p);
    const wchar_t* wszWide = reinterpret_cast<const wchar_t*>(wszName.c_str());
    const DWORD dwUnits = ::GetEnvironmentVariableW(wszWide, nullptr, 0);
    if (dwUnits <= 1) return false;
    std::vector<wchar_t> buffer(dwUnits);
    const DWORD dwCopied = ::GetEnvironmentVariableW(wszWide, buffer.data(), dwUnits);
    if (dwCopied == 0 || dwCopied >= dwUnits) return false;
    *pValue = Utf8Of(buffer.data());
    return !pValue->empty();
}

bool MachineProxy(bool bSecure, std::string* pProxy, std::string* pBypass) {
    WINHTTP_PROXY_INFO info{};
    if (!::WinHttpGetDefaultProxyConfiguration(&info)) return false;
    const std::string list = info.lpszProxy != nullptr ? Utf8Of(info.lpszProxy) : std::string();
    std::string bypass = info.lpszProxyBypass != nullptr ? Utf8Of(info.lpszProxyBypass) : std::string();
    if (info.lpszProxy != nullptr) ::GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass != nullptr) ::GlobalFree(info.lpszProxyBypass);
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY) return false;
    *pProxy = ProxyEntryFor(list, bSecure ? "https" : "http");
    pBypass->clear();
    std::size_t uStart = 0;
    while (uStart < bypass.size()) {
        std::size_t uEnd = bypass.find_first_of("; ", uStart);
        if (uEnd == std::string::npos) uEnd = bypass.size();
        std::string entry = bypass.substr(uStart, uEnd - uStart);
        uStart = uEnd + 1;
        if (entry.rfind("*.", 0) == 0) entry.erase(0, 1);
        if (entry.empty() || entry == "<local>") continue;
        *pBypass += (pBypass->empty() ? "" : ",") + entry;
    }
    return !pProxy->empty();
}

}  // namespace os

namespace os {
namespace {

thread_local int t_iLastSystemError = 0;

// Keeps the error of a failed file call where no later socket call can
// overwrite it (both share the thread's last-error slot).
void NoteFileFailure() { t_iLastSystemError = static_cast<int>(::GetLastError()); }

const wchar_t* Wide(const char16_t* wszText) { return reinterpret_cast<const wchar_t*>(wszText); }

}  // namespace

int Utf8ToWide(const char* szSource, int iSourceLength, char16_t* wszDest, int iDestUnits) {
    if (szSource == nullptr) return 0;
    return ::MultiByteToWideChar(CP_UTF8, 0, szSource, iSourceLength, reinterpret_cast<wchar_t*>(wszDest), iDestUnits);
}

int WideToUtf8(const char16_t* wszSource, int iSourceUnits, char* szDest, int iDestBytes) {
    if (wszSource == nullptr) return 0;
    return ::WideCharToMultiByte(CP_UTF8, 0, Wide(wszSource), iSourceUnits, szDest, iDestBytes, nullptr, nullptr);
}

namespace {

using TempPathCall = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W where the system has it (Windows 11, Server 2022, and
// Windows 10 and Server 2016 with the 2025 updates): it gives SYSTEM the
// private C:\Windows\SystemTemp instead of C:\Windows\Temp, where every
// user may write. Looked up once.
TempPathCall TempPathFunction() {
    static const TempPathCall pCall = [] {
        const HMODULE hKernel = ::GetModuleHandleW(L"kernel32.dll");
        const FARPROC pFound = hKernel != nullptr ? ::GetProcAddress(hKernel, "GetTempPath2W") : nullptr;
        return pFound != nullptr ? reinterpret_cast<TempPathCall>(reinterpret_cast<void*>(pFound)) : &::GetTempPathW;
    }();
    return pCall;
}

// A token's SID of the kind asked (TokenUser or TokenOwner) into *pSid.
bool TokenSid(HANDLE hToken, TOKEN_INFORMATION_CLASS kind, std::vector<unsigned char>* pSid) {
    DWORD dwSize = 0;
    ::GetTokenInformation(hToken, kind, nullptr, 0, &dwSize);
    std::vector<unsigned char> buffer(dwSize);
    if (dwSize == 0 || !::GetTokenInformation(hToken, kind, buffer.data(), dwSize, &dwSize)) return false;
    const PSID pFound = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                          : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
    pSid->resize(::GetLengthSid(pFound));
    return ::CopySid(static_cast<DWORD>(pSid->size()), pSid->data(), pFound) != FALSE;
}

// Whether pOwner is this process's user, or the owner its token gives the
// objects it creates (an elevated administrator's files belong to the
// Administrators group).
bool IsOurs(PSID pOwner) {
    HANDLE hToken = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken)) return false;
    std::vector<unsigned char> user, owner;
    const bool bOurs = (TokenSid(hToken, TokenUser, &user) && ::EqualSid(pOwner, user.data())) ||
                       (TokenSid(hToken, TokenOwner, &owner) && ::EqualSid(pOwner, owner.data()));
    ::CloseHandle(hToken);
    return bOurs;
}

// Whether an open file is one another user may control: a reparse point (a
// symbolic link or junction, opened as itself), a file with more than one
// name (a hard link; a directory's count says nothing), or one of another
// owner.
bool IsForeignHandle(HANDLE hFile) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(hFile, &info)) return true;
    const bool bDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (!bDirectory && info.nNumberOfLinks > 1)) {
        return true;
    }
    PSID pOwner = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (::GetSecurityInfo(hFile, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &pOwner, nullptr, nullptr, nullptr,
                          &pDescriptor) != ERROR_SUCCESS) {
        return true;
    }
    const bool bForeign = pOwner == nullptr || !IsOurs(pOwner);
    ::LocalFree(pDescriptor);
    return bForeign;
}

}  // namespace

std::uint32_t GetTempPathWide(std::uint32_t uUnits, char16_t* wszBuffer) {
    return static_cast<std::uint32_t>(TempPathFunction()(uUnits, reinterpret_cast<wchar_t*>(wszBuffer)));
}

bool IsForeignFile(const char16_t* wszPath) {
    const HANDLE hFile = ::CreateFileW(Wide(wszPath), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD dwError = ::GetLastError();
        return dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND;
    }
    const bool bForeign = IsForeignHandle(hFile);
    ::CloseHandle(hFile);
    return bForeign;
}

bool PathExists(const char16_t* wszPath) {
    return wszPath != nullptr && ::GetFileAttributesW(Wide(wszPath)) != INVALID_FILE_ATTRIBUTES;
}

bool CopyFileReplacing(const char16_t* wszFrom, const char16_t* wszTo) {
    if (::CopyFileW(Wide(wszFrom), Wide(wszTo), FALSE)) return true;
    NoteFileFailure();
    return false;
}

namespace {

// An fopen mode in the terms of CreateFileW and the C runtime's descriptors.
struct FileMode {
    DWORD dwAccess = GENERIC_READ;
    DWORD dwDisposition = OPEN_EXISTING;
    int iFlags = _O_RDONLY;
    std::string szStreamMode;  // the mode for _fdopen, with 't' or 'b' said
};

bool ReadFileMode(const char* szMode, FileMode* pMode) {
    if (szMode == nullptr) return false;
    bool bPlus = false;
    bool bBinary = false;
    for (const char* p = szMode + 1; *p != '\0'; ++p) {
        bPlus = bPlus || *p == '+';
        bBinary = bBinary || *p == 'b';
    }
    switch (szMode[0]) {
        case 'r':
            break;
        case 'w':
            pMode->dwAccess = GENERIC_WRITE;
            pMode->dwDisposition = CREATE_ALWAYS;
            pMode->iFlags = _O_WRONLY;
            break;
        case 'a':
            pMode->dwAccess = GENERIC_WRITE;
            pMode->dwDisposition = OPEN_ALWAYS;
            pMode->iFlags = _O_WRONLY | _O_APPEND;
            break;
        default:
            return false;
    }
    if (bPlus) {
        pMode->dwAccess = GENERIC_READ | GENERIC_WRITE;
        pMode->iFlags = (pMode->iFlags & ~(_O_RDONLY | _O_WRONLY)) | _O_RDWR;
    }
    // Said explicitly, so that the process-wide default translation mode
    // cannot change it.
    pMode->iFlags |= bBinary ? _O_BINARY : _O_TEXT;
    pMode->szStreamMode = std::string(1, szMode[0]) + (bPlus ? "+" : "") + (bBinary ? "b" : "t");
    return true;
}

// Wraps an open handle in a stream; closes the handle when that fails.
std::FILE* StreamFromHandle(HANDLE hFile, const FileMode& mode) {
    const int iFd = ::_open_osfhandle(reinterpret_cast<intptr_t>(hFile), mode.iFlags);
    if (iFd < 0) {
        ::CloseHandle(hFile);
        return nullptr;
    }
    std::FILE* pFile = ::_fdopen(iFd, mode.szStreamMode.c_str());
    if (pFile == nullptr) ::_close(iFd);
    return pFile;
}

}  // namespace

std::FILE* OpenFileWide(const char16_t* wszPath, const char* szMode, LinkPolicy links) {
    FileMode mode;
    if (wszPath == nullptr || !ReadFileMode(szMode, &mode)) {
        t_iLastSystemError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    // Refused names are opened as themselves and emptied only once they are
    // known to be ours: a hard link to another's file is never truncated.
    const bool bRefuse = links == LinkPolicy::Refuse;
    const bool bEmpty = mode.dwDisposition == CREATE_ALWAYS;
    const HANDLE hFile = ::CreateFileW(Wide(wszPath), mode.dwAccess | (bRefuse ? READ_CONTROL : 0),
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       bRefuse && bEmpty ? OPEN_ALWAYS : mode.dwDisposition,
                                       FILE_ATTRIBUTE_NORMAL | (bRefuse ? FILE_FLAG_OPEN_REPARSE_POINT : 0), nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        NoteFileFailure();
        return nullptr;
    }
    DWORD dwRefusal = 0;
    if (::GetFileType(hFile) != FILE_TYPE_DISK) {  // a device or pipe name
        dwRefusal = ERROR_INVALID_PARAMETER;
    } else if (bRefuse && IsForeignHandle(hFile)) {
        dwRefusal = ERROR_ACCESS_DENIED;
    } else if (bRefuse && bEmpty && !::SetEndOfFile(hFile)) {
        dwRefusal = ::GetLastError();
    }
    if (dwRefusal != 0) {
        ::CloseHandle(hFile);
        t_iLastSystemError = static_cast<int>(dwRefusal);
        return nullptr;
    }
    std::FILE* pFile = StreamFromHandle(hFile, mode);
    // A failure of the C runtime's own (no free descriptor or stream)
    // leaves no system code behind.
    if (pFile == nullptr) t_iLastSystemError = ERROR_TOO_MANY_OPEN_FILES;
    return pFile;
}

int LastSystemError() { return t_iLastSystemError; }

namespace {

// Cuts szText to at most uMaxBytes bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string* pText, std::size_t uMaxBytes) {
    if (pText->size() <= uMaxBytes) return;
    std::size_t uEnd = uMaxBytes;
    while (uEnd > 0 && (static_cast<unsigned char>((*pText)[uEnd]) & 0xC0) == 0x80) --uEnd;
    pText->resize(uEnd);
}

}  // namespace

bool SystemErrorText(int iCode, char* szBuffer, std::uint32_t uSize) {
    if (szBuffer == nullptr || uSize == 0) return false;
    szBuffer[0] = '\0';
    wchar_t* wszText = nullptr;
    const DWORD dwUnits =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                         nullptr, static_cast<DWORD>(iCode), 0, reinterpret_cast<wchar_t*>(&wszText), 0, nullptr);
    std::string szText;
    if (dwUnits > 0 && wszText != nullptr) {
        const int iBytes =
            ::WideCharToMultiByte(CP_UTF8, 0, wszText, static_cast<int>(dwUnits), nullptr, 0, nullptr, nullptr);
        if (iBytes > 0) {
            szText.resize(static_cast<std::size_t>(iBytes));
            ::WideCharToMultiByte(CP_UTF8, 0, wszText, static_cast<int>(dwUnits), &szText[0], iBytes, nullptr, nullptr);
        }
    }
    if (wszText != nullptr) ::LocalFree(wszText);
    while (!szText.empty() && (szText.back() == '\r' || szText.back() == '\n' || szText.back() == ' '))
        szText.pop_back();
    CutUtf8(&szText, uSize - 1);
    std::memcpy(szBuffer, szText.c_str(), szText.size() + 1);
    return !szText.empty();
}

bool Utf8Arguments(int* piArgc, char*** pppArgv) {
    int iCount = 0;
    wchar_t** ppWide = ::CommandLineToArgvW(::GetCommandLineW(), &iCount);
    if (ppWide == nullptr) return false;
    // Kept for the rest of the process, as the runtime keeps main's vector.
    static std::vector<std::string> s_arguments;
    static std::vector<char*> s_pointers;
    s_arguments.assign(static_cast<std::size_t>(iCount), std::string());
    for (int i = 0; i < iCount; ++i) {
        const int iBytes = WideToUtf8(reinterpret_cast<const char16_t*>(ppWide[i]), -1, nullptr, 0);
        if (iBytes <= 1) continue;
        s_arguments[i].resize(static_cast<std::size_t>(iBytes));
        WideToUtf8(reinterpret_cast<const char16_t*>(ppWide[i]), -1, &s_arguments[i][0], iBytes);
        s_arguments[i].resize(static_cast<std::size_t>(iBytes - 1));
    }
    ::LocalFree(ppWide);
    s_pointers.clear();
    for (std::string& szArgument : s_arguments) s_pointers.push_back(&szArgument[0]);
    s_pointers.push_back(nullptr);
    *piArgc = iCount;
    *pppArgv = s_pointers.data();
    return true;
}

void Sleep(std::uint32_t uMilliseconds) { ::Sleep(uMilliseconds); }

// A console, not merely a character device: _isatty() also says yes for NUL.
bool IsTerminal(std::FILE* pStream) {
    if (pStream == nullptr) return false;
    const HANDLE hStream = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(pStream)));
    DWORD dwMode = 0;
    return hStream != INVALID_HANDLE_VALUE && ::GetConsoleMode(hStream, &dwMode) != FALSE;
}

bool WriteText(std::FILE* pStream, const char* szText) {
    const HANDLE hStream = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(pStream)));
    DWORD dwMode = 0;
    if (hStream == INVALID_HANDLE_VALUE || !::GetConsoleMode(hStream, &dwMode)) {
        return std::fputs(szText, pStream) >= 0;
    }
    const int iUnits = ::MultiByteToWideChar(CP_UTF8, 0, szText, -1, nullptr, 0);
    if (iUnits <= 1) return iUnits == 1;
    std::vector<wchar_t> wide(static_cast<std::size_t>(iUnits));
    ::MultiByteToWideChar(CP_UTF8, 0, szText, -1, wide.data(), iUnits);
    std::fflush(pStream);
    DWORD dwWritten = 0;
    return ::WriteConsoleW(hStream, wide.data(), static_cast<DWORD>(iUnits - 1), &dwWritten, nullptr) != FALSE;
}

struct CriticalSection::Impl {
    CRITICAL_SECTION section;
};

CriticalSection::CriticalSection() : m_pImpl(new Impl) { ::InitializeCriticalSection(&m_pImpl->section); }

CriticalSection::~CriticalSection() { ::DeleteCriticalSection(&m_pImpl->section); }

void CriticalSection::Enter() { ::EnterCriticalSection(&m_pImpl->section); }
void CriticalSection::Leave() { ::LeaveCriticalSection(&m_pImpl->section); }

}  // namespace os
