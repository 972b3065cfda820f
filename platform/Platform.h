// The one contract between Dorvane and the operating system.
//
// Everything outside platform/ includes this header and nothing
// system-specific. Two implementations provide it: PlatformWindows.cpp
// (Winsock 2 and the Win32 wide-name calls) and PlatformPosix.cpp (BSD
// sockets and POSIX files standing in for them). CMake links exactly one.
//
// The socket calls keep their Winsock names and meanings inside the
// `winsock` namespace; error codes are always Winsock numbers (10035 for a
// call that would block, 11001 for an unknown host, ...), so that the log
// reads the same on every system. Constants carry a `k` prefix because both
// systems' headers define the plain names as macros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace winsock {

// A socket handle. Winsock handles are pointer-sized and unsigned.
using SOCKET = std::uintptr_t;
constexpr SOCKET kInvalidSocket = ~static_cast<SOCKET>(0);
constexpr int kSocketError = -1;

constexpr int kAfInet = 2;
constexpr int kSockStream = 1;
constexpr int kSolSocket = 0xffff;        // level for socket options
constexpr int kSoSndBuf = 0x1001;         // send buffer size option
constexpr long kFionbio = 0x8004667EL;    // ioctlsocket: non-blocking mode
constexpr int kSdSend = 1;                // shutdown: sending side
constexpr int kMsgOob = 1;                // send: urgent (out-of-band) data
constexpr std::uint32_t kInaddrNone = 0xffffffffu;
constexpr std::uint32_t kInaddrAny = 0u;

// Winsock error codes used by name in the code.
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEFault = 10014;
constexpr int kWsaHostNotFound = 11001;

// IPv4 socket address, laid out as the system's: 16 bytes, port and
// address in network byte order.
struct SockAddrIn {
    std::uint16_t sin_family;
    std::uint16_t sin_port;
    std::uint32_t sin_addr;
    unsigned char sin_zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "sockaddr_in is 16 bytes");

// The part of a host database answer that Dorvane reads. The answer and its
// texts belong to the platform and stay valid until the next look-up.
struct HostEnt {
    short h_addrtype;
    short h_length;         // bytes per address: 4 for IPv4
    char** h_addr_list;     // null-terminated list of addresses, network order
};

// A Winsock-shaped descriptor set: a count and an array.
constexpr unsigned kFdSetSize = 64;
struct FdSet {
    unsigned fd_count;
    SOCKET fd_array[kFdSetSize];
};
void FdZero(FdSet* pSet);
// Adds the socket unless it is already there or the set is full.
void FdAdd(SOCKET s, FdSet* pSet);
bool FdIsSet(SOCKET s, const FdSet* pSet);

struct TimeVal {
    long tv_sec;
    long tv_usec;
};

// The last error of the calling thread's socket calls, as a Winsock code.
int WSAGetLastError();
void WSASetLastError(int iError);

// Socket calls with Winsock's results: kInvalidSocket / kSocketError on
// failure, the code then in WSAGetLastError().
SOCKET socket(int iAf, int iType, int iProtocol);
int setsockopt(SOCKET s, int iLevel, int iOptName, const char* pOptVal, int iOptLen);
// Only kFionbio is supported; *puArg non-zero selects non-blocking mode.
int ioctlsocket(SOCKET s, long lCmd, std::uint32_t* puArg);
// A non-blocking connect that is under way fails with kWsaEWouldBlock.
int connect(SOCKET s, const SockAddrIn* pAddress, int iAddressLength);
// Winsock semantics for a pending non-blocking connect: success shows as
// writable; failure shows in the exception set alone (never readable or
// writable), and WSAGetLastError() then gives the connect's error.
// iNfds is ignored, as Winsock ignores it. Null sets are allowed.
int select(int iNfds, FdSet* pRead, FdSet* pWrite, FdSet* pExcept, const TimeVal* pTimeout);
// Never raises a signal on a closed connection.
int send(SOCKET s, const char* pBuffer, int iLength, int iFlags);
int recv(SOCKET s, char* pBuffer, int iLength, int iFlags);
int shutdown(SOCKET s, int iHow);
int closesocket(SOCKET s);

// Host database look-up (hosts file, then DNS). Null when the name has no
// entry; WSAGetLastError() then gives 11001..11004.
HostEnt* gethostbyname(const char* szName);
// Dotted text to a network-order address, kInaddrNone when it is not one.
std::uint32_t inet_addr(const char* szText);
// Network-order address to dotted text in a buffer owned by the platform,
// valid until the next call.
char* inet_ntoa(std::uint32_t uAddress);
std::uint16_t HostToNetShort(std::uint16_t uValue);
std::uint32_t HostToNetLong(std::uint32_t uValue);

// --- Name service (stand-ins for WSALookupServiceBeginW/NextW/End and
// WSAAddressToStringW). A query asks all name spaces for a host name.

using LookupHandle = void*;
constexpr std::uint32_t kLupReturnName = 0x10;
constexpr std::uint32_t kLupReturnAddr = 0x100;

// Starts a host-name query for the UTF-16 name. On success *phLookup holds
// a handle that LookupServiceEnd must close.
bool LookupServiceBegin(const char16_t* wszName, std::uint32_t uFlags, LookupHandle* phLookup);
// Writes the first answer into pBuffer (uBufferLength bytes), in a layout
// that AnswerAddressCount/AnswerAddress read. False, with an error code,
// when there is no answer or it does not fit in uBufferLength bytes.
bool LookupServiceNext(LookupHandle hLookup, std::uint32_t uFlags, std::uint32_t uBufferLength,
                       void* pBuffer);
void LookupServiceEnd(LookupHandle hLookup);
// Reading an answer written by LookupServiceNext.
std::uint32_t AnswerAddressCount(const void* pAnswer);
// The remote address of entry uIndex: a system socket address and its length.
bool AnswerAddress(const void* pAnswer, std::uint32_t uIndex, const void** ppAddress, int* piLength);
// Writes the address (and ":port" when the port is not 0) as UTF-16 text.
// *puUnits is the buffer size in units on entry. False when the address
// cannot be written as text or does not fit.
bool AddressToString(const void* pAddress, int iLength, char16_t* wszOut, std::uint32_t* puUnits);

}  // namespace winsock

namespace os {

// UTF-8 <-> UTF-16 (MultiByteToWideChar / WideCharToMultiByte with code page
// 65001). iSourceLength -1 means "up to and including the terminator".
// With a destination size of 0 the call returns the size needed; otherwise
// the count written, or 0 when it does not fit or the input is invalid.
int Utf8ToWide(const char* szSource, int iSourceLength, char16_t* wszDest, int iDestUnits);
int WideToUtf8(const char16_t* wszSource, int iSourceUnits, char* szDest, int iDestBytes);

// The user's temporary directory as UTF-16 text ending with a separator
// (GetTempPathW). Returns the length without the terminator; 0 on failure;
// more than uUnits - 1 when the buffer is too small (nothing useful written).
std::uint32_t GetTempPathWide(std::uint32_t uUnits, char16_t* wszBuffer);
// Whether something exists at the path (its attributes can be read).
bool PathExists(const char16_t* wszPath);
// Copies a file over another, replacing it (CopyFileW). True on success.
bool CopyFileReplacing(const char16_t* wszFrom, const char16_t* wszTo);
// Opens a file by its UTF-16 name with an fopen mode ("a", "w", "r", ...).
std::FILE* OpenFileWide(const char16_t* wszPath, const char* szMode);
// Renames a file over another in the same directory, replacing it
// (MoveFileExW with MOVEFILE_REPLACE_EXISTING). UTF-8 names.
bool ReplaceFile(const char* szFrom, const char* szTo);
// The system's error code of the last failed file call on this thread
// (including the C library's stream calls); read it right after the call.
int LastSystemError();

// The system's message text for an error code (FormatMessageA). Writes a
// NUL-terminated text of at most uSize - 1 bytes into szBuffer and returns
// true. When the system's message catalogue has no text for the code,
// Windows returns false and leaves the buffer as it was; POSIX, which has
// no such catalogue, writes an empty text.
bool SystemErrorText(int iCode, char* szBuffer, std::uint32_t uSize);

void Sleep(std::uint32_t uMilliseconds);

// Whether the stream is a terminal (a console on Windows), where a person
// may be watching.
bool IsTerminal(std::FILE* pStream);

// The calendar time in whole seconds (time()), the clock of the exchange's
// time-outs. Tests may move it forward through the seam.
std::int64_t CurrentTime();

// --- The staged backup file: a new file in the current directory that
// receives a backup as it arrives and takes its final name only when it is
// whole and on stable storage.
//
// At most one staged file is open in a process at a time. While it is open,
// an interrupt (POSIX: SIGINT, SIGTERM, SIGHUP; Windows: Ctrl+C, Ctrl+Break,
// console close) removes it, and the process then ends the way the signal
// would have ended it. Failures report the system's own code (errno or
// GetLastError()) through LastError().
class StagedFile {
public:
    StagedFile();
    // Removes a file that was created and not committed.
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates a new file named szPrefix, a text unique to this run (the
    // process id and a random part; never an existing file's name), then
    // szSuffix, in the current directory; POSIX mode 0600. Once per object.
    bool Create(const char* szPrefix, const char* szSuffix);
    // The UTF-8 name chosen by Create ("" before it). Valid while the object lives.
    const char* Name() const;
    // Appends all uLength bytes, retrying short writes. Bytes written some
    // megabytes back are handed to the disk as it goes (write-behind), so
    // that Commit has little left to flush.
    bool Write(const char* pBytes, std::size_t uLength);
    // Flushes the file to stable storage, closes it and renames it over
    // szFinalName (UTF-8, same directory), replacing a file of that name,
    // then flushes the directory entry. On failure the staged file is
    // removed and nothing takes the final name.
    bool Commit(const char* szFinalName);
    // Closes and removes the file; does nothing when none is open.
    void Discard();
    // The system's code of the last failed call of this object.
    int LastError() const;

private:
    struct Impl;
    Impl* m_pImpl;
};

// A re-entrant lock (a critical section). Never torn down by Dorvane.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter();
    void Leave();

private:
    struct Impl;
    Impl* m_pImpl;
};

}  // namespace os
