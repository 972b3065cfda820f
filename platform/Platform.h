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
#include <memory>
#include <string>
#include <vector>

namespace winsock {

// A socket handle. Winsock handles are pointer-sized and unsigned.
using SOCKET = std::uintptr_t;
constexpr SOCKET kInvalidSocket = ~static_cast<SOCKET>(0);
constexpr int kSocketError = -1;

constexpr int kAfInet = 2;
constexpr int kAfInet6 = 23;  // Winsock's number; POSIX maps it to its own
constexpr int kSockStream = 1;
constexpr int kSolSocket = 0xffff;      // level for socket options
constexpr int kSoSndBuf = 0x1001;       // send buffer size option
constexpr long kFionbio = 0x8004667EL;  // ioctlsocket: non-blocking mode
constexpr int kSdSend = 1;              // shutdown: sending side
constexpr int kMsgOob = 1;              // send: urgent (out-of-band) data
constexpr std::uint32_t kInaddrNone = 0xffffffffu;
constexpr std::uint32_t kInaddrAny = 0u;

// Winsock error codes used by name in the code.
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaEInval = 10022;
constexpr int kWsaEFault = 10014;
constexpr int kWsaHostNotFound = 11001;
constexpr int kWsaENoMore = 10110;  // WSA_E_NO_MORE: no more results

// IPv4 socket address, laid out as the system's: 16 bytes, port and
// address in network byte order.
struct SockAddrIn {
    std::uint16_t sin_family;
    std::uint16_t sin_port;
    std::uint32_t sin_addr;
    unsigned char sin_zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "sockaddr_in is 16 bytes");

// IPv6 socket address, laid out as the system's: 28 bytes, port in network
// byte order, the address's 16 bytes as written.
struct SockAddrIn6 {
    std::uint16_t sin6_family;
    std::uint16_t sin6_port;
    std::uint32_t sin6_flowinfo;
    unsigned char sin6_addr[16];
    std::uint32_t sin6_scope_id;
};
static_assert(sizeof(SockAddrIn6) == 28, "sockaddr_in6 is 28 bytes");

// The longest IPv6 address text with its NUL (INET6_ADDRSTRLEN).
constexpr std::size_t kIpv6TextSize = 46;

// The part of a host database answer that Dorvane reads. The answer and its
// texts belong to the platform and stay valid until the next look-up.
struct HostEnt {
    short h_addrtype;
    short h_length;      // bytes per address: 4 for IPv4
    char** h_addr_list;  // null-terminated list of addresses, network order
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
// The same for an IPv6 address (a socket made with kAfInet6).
int connect(SOCKET s, const SockAddrIn6* pAddress, int iAddressLength);
// Winsock semantics for a pending non-blocking connect, which the caller
// watches through the write and exception sets: success shows as writable;
// failure shows in the exception set alone (never readable or writable),
// on every call, and WSAGetLastError() then gives the connect's error.
// iNfds is ignored, as Winsock ignores it. Any set may be null, and an
// empty set counts as null (Winsock wants every set it is given to hold a
// socket). With no socket in any set the call fails with kWsaEInval at
// once, as Winsock does, rather than waiting out the time-out.
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
// IPv6 text (no brackets, no zone) to its 16 bytes (inet_pton); false
// when the whole text is not one.
bool ParseIpv6(const char* szText, unsigned char* aBytes);
// 16 bytes to IPv6 text in its usual form (inet_ntop: lower case, the
// longest run of zero groups as "::") in szText of uSize bytes
// (kIpv6TextSize is always enough); false when it does not fit.
bool FormatIpv6(const unsigned char* aBytes, char* szText, std::size_t uSize);
std::uint16_t HostToNetShort(std::uint16_t uValue);
std::uint32_t HostToNetLong(std::uint32_t uValue);

// --- Name service. Asks every name space for the host szHost (UTF-8) and
// writes the first IPv4 address of its first answer that converts to text
// into szAddress: dotted, with ":port" behind it when the answer names a
// port (a host's answer names none), as WSAAddressToStringW writes it.
// *puSize is the size of szAddress in bytes on entry, and on success the
// bytes written with the NUL. False, szAddress untouched and the code in
// WSAGetLastError(), when
//   - the name needs more than 512 UTF-16 units with its NUL (kWsaEFault);
//   - the look-up cannot start, or its first answer cannot be fetched (the
//     system's code; kWsaEFault for an answer of more than Windows' 1024
//     bytes, or a scripted one counted as more);
//   - no IPv4 address of the answer converts (kWsaENoMore);
//   - the text does not fit: *puSize then gives the size needed (kWsaEFault).
// Windows: WSALookupServiceBeginW for SVCID_HOSTNAME in NS_ALL, one
// WSALookupServiceNextW, WSAAddressToStringW. POSIX: getaddrinfo, inet_ntop.
bool LookupHostAddress(const char* szHost, char* szAddress, std::uint32_t* puSize);

// --- Both families. Asks for every address of the host szHost (UTF-8)
// for a stream socket, of either family (getaddrinfo with AF_UNSPEC on
// POSIX, GetAddrInfoW on Windows), and writes each into *pAddresses as
// text, dotted IPv4 or IPv6 in its usual form, in the answer's order, each
// address once. False, with the code in WSAGetLastError() (11001 for an
// unknown host), when the look-up fails; an answer with no address of
// either family leaves the list empty.
bool LookupAllAddresses(const char* szHost, std::vector<std::string>* pAddresses);

}  // namespace winsock

namespace os {

// UTF-8 <-> UTF-16 (MultiByteToWideChar / WideCharToMultiByte with code page
// 65001). iSourceLength -1 means "up to and including the terminator".
// With a destination size of 0 the call returns the size needed; otherwise
// the count written, or 0 when it does not fit or the input is invalid.
int Utf8ToWide(const char* szSource, int iSourceLength, char16_t* wszDest, int iDestUnits);
int WideToUtf8(const char16_t* wszSource, int iSourceUnits, char* szDest, int iDestBytes);

// The user's temporary directory as UTF-16 text ending with a separator
// (GetTempPath2W where the system has it, which gives SYSTEM a private
// directory, else GetTempPathW). Returns the length
// without the terminator; 0 on failure; more than uUnits - 1 when the
// buffer is too small (nothing useful written). POSIX: $TMPDIR when set;
// otherwise the user's own "/tmp/dorvane-<uid>/", made with mode 0700 when
// missing, and refused (0) unless it is a real directory (not a symbolic
// link) owned by the user that no one else may write to.
std::uint32_t GetTempPathWide(std::uint32_t uUnits, char16_t* wszBuffer);
// Whether something exists at the path (its attributes can be read).
bool PathExists(const char16_t* wszPath);
// Whether what is at the path may be another user's to control: on Windows
// a reparse point (a symbolic link or junction, not followed), a file with
// more than one link, one owned by neither this process's user nor the
// owner its token gives new files, or one that cannot be examined. False
// when nothing is there. POSIX: always false; OpenFileWide refuses links
// there and the temporary directory is the user's own.
bool IsForeignFile(const char16_t* wszPath);
// Copies a file over another byte for byte, replacing it (CopyFileW). True
// on success. On failure the destination is left as it was: POSIX copies
// into a new file (mode 0600) beside it and renames that over it, and only
// a regular source is copied (never a directory, FIFO or device).
bool CopyFileReplacing(const char16_t* wszFrom, const char16_t* wszTo);
// Whether OpenFileWide opens a name that is a symbolic link. Windows
// refuses, as IsForeignFile would, a reparse point, a file with more than
// one link and another user's file.
enum class LinkPolicy { Refuse, Follow };
// Opens a regular file by its UTF-16 name with an fopen mode ("a", "w",
// "r", ...; text mode unless "b" is given). The caller closes the stream.
// Anything but a regular file (a directory, FIFO or device) is refused
// without waiting for it. Windows opens it with CreateFileW sharing read,
// write and delete, so that other programs holding the file open never
// make the call fail because of us, and may read, write, rename or delete
// it while it is open. POSIX refuses a symbolic link unless told to follow
// it, creates files with mode 0600, and gives a file of the user's that
// mode "w" empties mode 0600 as well.
std::FILE* OpenFileWide(const char16_t* wszPath, const char* szMode, LinkPolicy links = LinkPolicy::Refuse);
// The system's error code of the last failed file call on this thread
// (including the C library's stream calls); read it right after the call.
int LastSystemError();

// The system's message text for an error code, as UTF-8 (FormatMessageW on
// Windows, the C library's text for the errno behind the code on POSIX),
// without trailing line breaks or spaces. Writes a NUL-terminated text of
// at most uSize - 1 bytes into szBuffer, cut at a character boundary, and
// returns true; when the system has no text for the code it writes an
// empty text and returns false.
bool SystemErrorText(int iCode, char* szBuffer, std::uint32_t uSize);

// The program's arguments as UTF-8. Windows replaces *piArgc and *pppArgv
// with the command line read as UTF-16 (GetCommandLineW,
// CommandLineToArgvW) and converted, so that no argument passes through
// the 8-bit code page; the vector lives until the process ends. POSIX
// leaves the system's own bytes as they are. False, with nothing changed,
// when the command line cannot be read.
bool Utf8Arguments(int* piArgc, char*** pppArgv);

void Sleep(std::uint32_t uMilliseconds);

// Whether the stream is a terminal (a console on Windows), where a person
// may be watching.
bool IsTerminal(std::FILE* pStream);
// Writes the UTF-8 text szText to the stream. On Windows, when the stream
// is a console (GetConsoleMode succeeds), the stream is flushed and the
// text written as UTF-16 with WriteConsoleW, so that the console shows it
// whatever its code page, which is never changed; to a file or pipe, and
// on POSIX, the bytes go as they are. False when the write fails.
bool WriteText(std::FILE* pStream, const char* szText);

// The value of the environment variable szName (ASCII), as UTF-8 (Windows
// reads it as UTF-16, where names ignore letter case). True when it is set
// and not empty.
bool ReadEnvironment(const char* szName, std::string* pValue);

// The machine's own proxy for a service or scheduled task, which has no
// user settings. Windows: WinHTTP's default configuration (as `netsh winhttp
// set proxy` sets it), the entry for https: (bSecure) or http: or the one
// for every scheme, as "host:port", with its bypass list as a
// comma-separated no_proxy list ("<local>" left out). Per-user and PAC
// settings are not read. False when there is none; always on POSIX.
bool MachineProxy(bool bSecure, std::string* pProxy, std::string* pBypass);

// The calendar time in whole seconds (time()), the clock of the exchange's
// time-outs. Tests may move it forward through the seam.
std::int64_t CurrentTime();

// --- The staged backup file: a new file in the current directory that
// receives a backup as it arrives and takes its final name only when it is
// whole and on stable storage.
//
// At most one staged file is open in a process at a time. While it is open,
// a signal that would end the process (POSIX: every signal whose default
// action ends it, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, ...
// among them) removes it, and the process then ends the way the signal
// would have ended it. On Windows the file is marked delete-on-close from
// its creation, so the system removes it however the process ends (Ctrl+C,
// TerminateProcess, logoff) and no handler is needed. Failures
// report the system's own code (errno or GetLastError()) through
// LastError().
//
// Installs that handling for the whole process, once; StagedFile::Create
// does so too. POSIX also ignores SIGPIPE, so that a write to a closed
// pipe or socket fails instead of ending the process, and SIGXFSZ, so that
// a write past the file size limit fails (EFBIG) as on a full disk. A
// signal the process ignores, or has another handler for (a sanitizer's),
// keeps it.
void InstallSignalHandling();

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
    // removed and nothing takes the final name, except that on Windows a
    // final name another program holds open is waited for (30 s, with
    // growing pauses), and after that the flushed file stays whole under
    // Name(): Kept() then says so. Windows renames through the open handle
    // before closing it, so nothing can open the file in between.
    bool Commit(const char* szFinalName);
    // Whether the last Commit failed but left the whole backup under Name().
    bool Kept() const;
    // Removes the file a failed Commit kept, for a caller to whom it is of
    // no use; does nothing unless Kept().
    void DiscardKept();
    // Closes and removes the file; does nothing when none is open.
    void Discard();
    // The system's code of the last failed call of this object.
    int LastError() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// A re-entrant lock (a critical section). Never torn down by Dorvane.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    void Enter();
    void Leave();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;  // not copied: the lock is one object
};

}  // namespace os
