#include "SocketManager/HTTPConnection.h"

#include "SocketManager/MySocket.h"
#include "SocketManager/Proxy.h"
#include "SocketManager/ReplySplit.h"
#include "SocketManager/SpeedWindow.h"
#include "SocketManager/Transport.h"
#include "driver/TaggedText.h"
#include "log/MyLog.h"
#include "platform/Platform.h"
#include "utility/SocketErrorText.h"
#include "utility/Utility.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const char kSourceFile[] = "SocketManager/HTTPConnection";
const char kLabel[] = "HTTPConnection";
// One receive buffer serves the whole call; it is large so that a fast
// peer is drained in few passes.
constexpr int kReceiveBufferSize = 1024 * 1024;
constexpr int kSelectTimeoutsToEnd = 2;
// The low-speed limit: an exchange fails once fewer than kLowSpeedBytes
// arrived in the last SpeedWindow::kSeconds, so a trickling server cannot hold a
// run for ever.
constexpr std::int64_t kLowSpeedBytes = 1024;

// The lines of this module's log records.
constexpr int kLineBadUrl = 63;
constexpr int kLineUnresolved = 74;
constexpr int kLineNoHostEntry = 91;
constexpr int kLineNotAnAddress = 100;
constexpr int kLineConnectFailed = 108;
constexpr int kLineProxy = 112;             // the proxy in use
constexpr int kLineNoProxy = 114;           // no_proxy sends the host direct
constexpr int kLineProxyUnusable = 116;     // the proxy's address is not http:
constexpr int kLineProxyUnreachable = 118;  // the proxy cannot be resolved or reached
constexpr int kLineProxyRefused = 120;      // the proxy refused CONNECT
constexpr int kLineProxyBroken = 122;       // the proxy gave no usable reply to CONNECT
constexpr int kLineNextAddress = 124;       // connecting failed: the host's next address
constexpr int kLineAbsoluteTimeout = 182;
constexpr int kLineInactivityTimeout = 195;
constexpr int kLineTooSlow = 200;
constexpr int kLineSelectFailed = 220;
constexpr int kLineConnectTimedOut = 235;
constexpr int kLineConnectRefused = 258;
constexpr int kLineSendFailed = 278;
constexpr int kLineRecvFailed = 326;
constexpr int kLineHeaderTooLarge = 340;
constexpr int kLineException = 363;
constexpr int kLineNothingReceived = 411;

// Everything one call of Download works with.
struct Exchange {
    explicit Exchange(DownloadResult* pResultIn) : pResult(pResultIn), reply(pResultIn) {}

    DownloadResult* pResult;
    bool bSecure = false;                    // "https:": the reply must end in close_notify
    ProxyChoice proxy;                       // the proxy the chain goes through, if any
    std::unique_ptr<transport::Layer> pTop;  // the top of the connection's chain
    bool bOpen = false;                      // the chain is open: the request may go
    bool bCloseNotify = false;               // the chain's clean end ended the reply
    std::uint64_t uRawSeen = 0;              // the chain's raw bytes counted so far
    std::string request;                     // the request buffer: request text, then the body
    std::size_t uBytesSent = 0;
    std::int64_t tStart = 0;
    std::int64_t tLastActivity = 0;
    SpeedWindow speed;
    bool bCheckInactivity = true;
    int iSelectTimeouts = 0;
    std::int64_t iTotalDataReceived = 0;
    ReplySplit reply;
    bool bResult = true;
    std::int32_t iTimeout = 0;
    bool bAbsoluteTimeout = false;
    bool* pbConnectFailed = nullptr;
    std::unique_ptr<char[]> pReceiveBuffer;
    const char* szHost = nullptr;  // the URL's host, which the certificate must name
    std::int32_t iPort = 80;       // the URL's port
    // The addresses to try when connecting fails: the host's whole answer
    // (both families, looked up on the first failure), less the first one.
    std::string szFirstAddress;
    std::vector<std::string> nextAddresses;
    std::size_t uNextAddress = 0;
    bool bNextLookedUp = false;
};

// What a step of a pass decides.
// Retry: the chain was built afresh on the next address; the pass ends and
// the loop goes on.
enum class Next { GoOn, EndPass, Leave, Retry };

void LogCode(const char* szLabel, int iLevel, int iLine, const char* szWhat, int iCode) {
    g_pLog->Write(szLabel, iLevel, kSourceFile, iLine, "%s, error code: %d, error: %s", szWhat, iCode,
                  GetSocketErrorText(iCode));
}

void LogCode(const char* szLabel, int iLevel, int iLine, const char* szWhat) {
    LogCode(szLabel, iLevel, iLine, szWhat, winsock::WSAGetLastError());
}

// The exchange fails, for the reason given.
void Fail(Exchange& x, ExchangeFailure eFailure) {
    x.bResult = false;
    x.pResult->eFailure = eFailure;
}

// The network ended the reply early (a time-out, a receive error); the
// reply may still be whole, which the caller judges.
void NoteCutShort(Exchange& x) {
    if (x.pResult->eFailure == ExchangeFailure::None) x.pResult->eFailure = ExchangeFailure::Network;
}

// Step 1 of a pass: true when the time-out ends the loop.
bool TimedOut(Exchange& x) {
    const std::int64_t now = os::CurrentTime();
    if (x.bAbsoluteTimeout) {
        if (now - x.tStart < x.iTimeout) return false;
        g_pLog->Write(kLabel, 3, kSourceFile, kLineAbsoluteTimeout, "Timeout now: iTimeout = %d", x.iTimeout);
        NoteCutShort(x);
        return true;
    }
    const bool bCheck = x.bCheckInactivity;
    x.bCheckInactivity = true;
    if (!bCheck || now - x.tLastActivity < x.iTimeout) return false;
    g_pLog->Write(kLabel, 3, kSourceFile, kLineInactivityTimeout, "Timeout now: iTimeout = %d", x.iTimeout);
    NoteCutShort(x);
    return true;
}

void NoteActivity(Exchange& x) {
    x.bCheckInactivity = false;
    x.tLastActivity = os::CurrentTime();
}

// True, after logging, when too few bytes arrived of late.
bool TooSlow(Exchange& x) {
    const std::int64_t now = os::CurrentTime();
    if (now - x.speed.Start() < SpeedWindow::kSeconds) return false;
    const std::int64_t iRecent = x.speed.Recent(now);
    if (iRecent >= kLowSpeedBytes) return false;
    g_pLog->Write(kLabel, 3, kSourceFile, kLineTooSlow, "Too slow: %lld bytes in the last %d seconds",
                  static_cast<long long>(iRecent), SpeedWindow::kSeconds);
    Fail(x, ExchangeFailure::Network);
    return true;
}

// The CONNECT request for szHost and iPort through the proxy.
std::string ConnectRequest(const char* szHost, std::int32_t iPort, const ProxyChoice& proxy) {
    const std::string authority = std::string(szHost) + ":" + std::to_string(iPort);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!proxy.authorization.empty()) request += "Proxy-Authorization: " + proxy.authorization + "\r\n";
    return request + "\r\n";
}

bool ThroughProxy(const Exchange& x) { return x.proxy.eKind == ProxyChoice::Kind::Proxy; }

// Builds the chain on pSocket, connecting: the socket, the proxy's tunnel
// when https: goes through a proxy, TLS for https:.
void BuildChain(Exchange& x, transport::SocketPtr pSocket) {
    x.pTop.reset(new transport::SocketLayer(std::move(pSocket)));
    if (ThroughProxy(x) && x.bSecure)
        x.pTop.reset(new transport::TunnelLayer(std::move(x.pTop), ConnectRequest(x.szHost, x.iPort, x.proxy)));
    if (x.bSecure) x.pTop.reset(new transport::TlsLayer(std::move(x.pTop), x.szHost));
}

// Connecting to the current address failed, so nothing was sent: closes
// the chain and builds it afresh on a socket connecting to the next address
// of the host's answer that is left, if any (logged). True with the chain
// under way again, the time-outs counting afresh; false when none is left,
// the chain closed (null) if any was tried. Only a direct connection
// tries further addresses; through a proxy the attempt fails as it did.
bool ConnectNext(Exchange& x) {
    if (ThroughProxy(x)) return false;
    if (!x.bNextLookedUp) {
        x.bNextLookedUp = true;
        winsock::LookupAllAddresses(x.szHost, &x.nextAddresses);
    }
    while (x.uNextAddress < x.nextAddresses.size()) {
        const std::string& szAddress = x.nextAddresses[x.uNextAddress++];
        if (szAddress == x.szFirstAddress) continue;
        x.pTop.reset();
        g_pLog->Write(kLabel, 0, kSourceFile, kLineNextAddress, "Trying the next address of %s: %s", x.szHost,
                      szAddress.c_str());
        transport::SocketPtr pSocket(MySocket::Connect(szAddress.c_str(), x.iPort, true));
        if (pSocket == nullptr) continue;
        BuildChain(x, std::move(pSocket));
        x.bOpen = false;
        x.uRawSeen = 0;
        x.iSelectTimeouts = 0;
        x.tLastActivity = os::CurrentTime();
        return true;
    }
    return false;
}

// A call of the chain failed: logs what the chain left to its caller and
// decides the exchange's failure. Ends the pass, and the loop unless the
// next address is tried.
Next Failed(Exchange& x) {
    const int iCode = x.pTop->Code();
    switch (x.pTop->Fault()) {
        case transport::Fault::Refused:
            LogCode(kLabel, 3, kLineConnectRefused, "failed to connect", iCode);
            if (ConnectNext(x)) return Next::Retry;
            Fail(x, ExchangeFailure::Network);
            *x.pbConnectFailed = true;
            break;
        case transport::Fault::SendFailed:
            g_pLog->Write(kLabel, 0, kSourceFile, kLineSendFailed, "iErrorCode: %d, error: %s", iCode,
                          GetSocketErrorText(iCode));
            NoteCutShort(x);
            break;
        case transport::Fault::ReceiveFailed:
            g_pLog->Write(kLabel, 0, kSourceFile, kLineRecvFailed, "recv() iReturn == -1, error code: %d, error: %s",
                          iCode, GetSocketErrorText(iCode));
            NoteCutShort(x);
            break;
        case transport::Fault::Tls:
            Fail(x, ExchangeFailure::Tls);
            break;
        case transport::Fault::Network:
            Fail(x, ExchangeFailure::Network);
            break;
        case transport::Fault::ProxyRefused:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineProxyRefused, "The proxy %s:%d refused the tunnel: status %d",
                          x.proxy.host.c_str(), x.proxy.iPort, iCode);
            Fail(x, ExchangeFailure::Network);
            break;
        case transport::Fault::ProxyBroken:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineProxyBroken, "The proxy %s:%d gave no usable reply to CONNECT",
                          x.proxy.host.c_str(), x.proxy.iPort);
            Fail(x, ExchangeFailure::Network);
            break;
        case transport::Fault::CutShort:
        case transport::Fault::None:
            NoteCutShort(x);
            break;
    }
    return Next::Leave;
}

// The proxy could not be resolved or connected to.
void ProxyUnreachable(const Exchange& x) {
    g_pLog->Write(kLabel, 3, kSourceFile, kLineProxyUnreachable, "The proxy %s:%d cannot be reached",
                  x.proxy.host.c_str(), x.proxy.iPort);
}

// The call's one receive buffer (kReceiveBufferSize bytes), made on first use.
char* ReceiveBuffer(Exchange& x) {
    if (!x.pReceiveBuffer) x.pReceiveBuffer.reset(new char[kReceiveBufferSize]);
    return x.pReceiveBuffer.get();
}

// uLength (> 0) bytes arrived in the receive buffer: they go to the header
// or the body. False when the reply cannot go on, or need not.
bool Received(Exchange& x, std::size_t uLength) {
    NoteActivity(x);
    x.iTotalDataReceived += static_cast<std::int64_t>(uLength);
    switch (x.reply.TakeReceived(x.pReceiveBuffer.get(), uLength)) {
        case ReplySplit::Take::More:
            return true;
        case ReplySplit::Take::Complete:
            return false;
        case ReplySplit::Take::Refused:
            x.bResult = false;
            return false;
        case ReplySplit::Take::HeaderTooLarge:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineHeaderTooLarge,
                          "Reply header too large: no blank line in the first %d bytes", HTTPConnection::kHeaderLimit);
            Fail(x, ExchangeFailure::Protocol);
            return false;
    }
    return false;
}

// The raw bytes that reached the chain are the connection's activity, for
// the time-out and the low-speed limit alike: over TLS a record arriving
// slowly shows no decrypted byte until it is whole.
void NoteRawArrival(Exchange& x) {
    if (!x.pTop) return;  // every next address failed too: the chain is gone
    const std::uint64_t uRaw = x.pTop->BytesReceived();
    if (uRaw <= x.uRawSeen) return;
    NoteActivity(x);
    x.speed.Note(x.tLastActivity, static_cast<std::int64_t>(uRaw - x.uRawSeen));
    x.uRawSeen = uRaw;
}

// The request could not be sent (logged as any failure): a server that
// answered at once and closed, before reading the request, has its reply
// waiting in the socket, and that reply is still read and judged.
Next SendFailed(Exchange& x) {
    const Next next = Failed(x);
    if (x.pTop->Fault() != transport::Fault::SendFailed) return next;
    // The socket reads once a pass: what this pass found readable.
    std::size_t uReceived = 0;
    if (x.pTop->Receive(ReceiveBuffer(x), kReceiveBufferSize, &uReceived) == transport::Wait::Done) {
        Received(x, uReceived);
    }
    return next;
}

// The chain's opening, then the request, then the reply, each as far as
// the socket lets it go now.
Next Steps(Exchange& x) {
    if (!x.bOpen) {
        const transport::Wait opening = x.pTop->Open();
        if (opening == transport::Wait::Failed) return Failed(x);
        NoteActivity(x);
        if (opening != transport::Wait::Done) return Next::EndPass;
        x.bOpen = true;
    }
    while (x.uBytesSent < x.request.size()) {
        std::size_t uSent = 0;
        const transport::Wait sending =
            x.pTop->Send(x.request.data() + x.uBytesSent, x.request.size() - x.uBytesSent, &uSent);
        if (sending == transport::Wait::Failed) return SendFailed(x);
        if (sending != transport::Wait::Done) return Next::EndPass;
        NoteActivity(x);
        x.uBytesSent += uSent;
    }
    for (;;) {
        std::size_t uReceived = 0;
        const transport::Wait receiving = x.pTop->Receive(ReceiveBuffer(x), kReceiveBufferSize, &uReceived);
        if (receiving == transport::Wait::Failed) {
            x.pResult->bEndedByError = true;
            return Failed(x);
        }
        if (receiving == transport::Wait::Closed) {  // the normal end
            x.bCloseNotify = true;
            return Next::Leave;
        }
        if (receiving != transport::Wait::Done) return Next::EndPass;
        if (!Received(x, uReceived)) return Next::Leave;
    }
}

// One pass of the loop; false when the loop ends. The write set is given
// only while the chain waits for the socket to be writable: an empty set
// is passed as null.
bool RunPass(Exchange& x) {
    if (TimedOut(x) || TooSlow(x)) return false;
    const winsock::SOCKET s = x.pTop->Handle();
    winsock::FdSet readSet, writeSet, exceptSet;
    winsock::FdZero(&readSet);
    winsock::FdZero(&writeSet);
    winsock::FdZero(&exceptSet);
    winsock::FdAdd(s, &readSet);
    winsock::FdAdd(s, &exceptSet);
    const bool bHasToSend = x.uBytesSent < x.request.size();
    const bool bWaitsForWritable = x.pTop->Waiting(bHasToSend) == transport::Wait::Writable;
    if (bWaitsForWritable) winsock::FdAdd(s, &writeSet);
    const winsock::TimeVal wait{static_cast<long>(x.iTimeout), 0};
    const int iReady =
        winsock::select(static_cast<int>(s) + 1, &readSet, bWaitsForWritable ? &writeSet : nullptr, &exceptSet, &wait);
    if (iReady < 0) {
        LogCode("SocketManager", 3, kLineSelectFailed, "select() failed");
        Fail(x, ExchangeFailure::Network);
        return false;
    }
    Next next = Next::GoOn;
    if (iReady == 0) {
        ++x.iSelectTimeouts;
        if (!x.pTop->Connected()) {
            LogCode(kLabel, 3, kLineConnectTimedOut, "failed to connect");
            if (ConnectNext(x)) return true;
            Fail(x, ExchangeFailure::Network);
            return false;
        }
        next = Next::EndPass;
    }
    transport::Readiness ready;
    ready.bWritable = bWaitsForWritable && winsock::FdIsSet(s, &writeSet);
    ready.bReadable = winsock::FdIsSet(s, &readSet);
    ready.bException = winsock::FdIsSet(s, &exceptSet);
    if (next == Next::GoOn && (ready.bReadable || ready.bWritable)) {
        x.pTop->Ready(ready);
        next = Steps(x);
        if (next == Next::Retry) return true;
        NoteRawArrival(x);
    }
    if (next != Next::Leave && ready.bException) {
        LogCode(kLabel, 0, kLineException, "uFdException");
        if (!x.pTop->Connected() && ConnectNext(x)) return true;  // a connect that failed
        x.pResult->bEndedByError = true;
        NoteCutShort(x);
        next = Next::Leave;
    }
    return next != Next::Leave && x.iSelectTimeouts < kSelectTimeoutsToEnd;
}

// The proxy for an https: (bSecure) or http: URL to szHost, logged when one
// is set. With none set nothing is logged.
ProxyChoice ChooseProxyFor(bool bSecure, const char* szHost) {
    const ProxyChoice proxy = EnvironmentProxy(bSecure, szHost);
    switch (proxy.eKind) {
        case ProxyChoice::Kind::Direct:
            break;
        case ProxyChoice::Kind::Proxy:
            g_pLog->Write(kLabel, 0, kSourceFile, kLineProxy, "Through the proxy %s:%d (%s)", proxy.host.c_str(),
                          proxy.iPort, proxy.variable.c_str());
            break;
        case ProxyChoice::Kind::Bypassed:
            g_pLog->Write(kLabel, 0, kSourceFile, kLineNoProxy, "Direct to %s: no_proxy names it (%s not used)", szHost,
                          proxy.variable.c_str());
            break;
        case ProxyChoice::Kind::Refused:
            g_pLog->Write(kLabel, 3, kSourceFile, kLineProxyUnusable,
                          "The proxy in %s is not usable: only http://[user:password@]host[:port] is served%s%s",
                          proxy.variable.c_str(), proxy.host.empty() ? "" : ", not ", proxy.host.c_str());
            break;
    }
    return proxy;
}

// Splits, resolves and checks the URL's server into szHost, iPort, szPath
// and szAddress (kTextSize bytes each), and chooses the proxy. szAddress is
// whom the socket connects to: the proxy's IPv4 address, else its first
// IPv6 address; going direct, the host's IPv4 address, else the default
// address, else the host's first IPv6 address. False, after logging, when
// any step fails (the caller names an unreachable proxy).
bool Prepare(const char* szURL, const char* szDefaultIPAddress, char* szHost, std::int32_t& iPort, char* szPath,
             char* szAddress, ProxyChoice* pProxy) {
    if (!Utility::GetDomainNameFromURL(szURL, szHost, iPort, szPath)) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, kLineBadUrl,
                      "Failed to parse SERVER_ADDRESS: %s, Error Code = %d, Error = %s", LoggableUrl(szURL).c_str(),
                      iCode, GetSocketErrorText(iCode));
        return false;
    }
    *pProxy = ChooseProxyFor(Utility::IsSecureURL(szURL), szHost);
    if (pProxy->eKind == ProxyChoice::Kind::Refused) return false;
    const bool bProxy = pProxy->eKind == ProxyChoice::Kind::Proxy;
    const char* szName = bProxy ? pProxy->host.c_str() : szHost;  // whom the socket connects to
    if (!Utility::ResolveHostName(szName, szAddress)) {
        if (bProxy) return Utility::GetIpv6AddressByName(szName, szAddress);
        const bool bFallback = szDefaultIPAddress != nullptr && szDefaultIPAddress[0] != '\0' &&
                               std::strlen(szDefaultIPAddress) < static_cast<std::size_t>(Utility::kTextSize);
        const int iCode = winsock::WSAGetLastError();  // the IPv4 look-up's, which the record names
        if (!bFallback && !Utility::GetIpv6AddressByName(szHost, szAddress)) {
            g_pLog->Write(kLabel, 3, kSourceFile, kLineUnresolved,
                          "Failed to get IP address for SERVER_ADDRESS: %s, Error Code = %d, Error = %s",
                          LoggableUrl(szURL).c_str(), iCode, GetSocketErrorText(iCode));
            return false;
        }
        if (bFallback) std::strcpy(szAddress, szDefaultIPAddress);
    }
    if (Utility::IsIpv6Address(szAddress)) return true;
    if (winsock::inet_addr(szAddress) == winsock::kInaddrNone) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, kLineNotAnAddress, "inet_addr(%s) failed, error code: %d, error: %s",
                      szHost, iCode, GetSocketErrorText(iCode));
        return false;
    }
    if (winsock::gethostbyname(szAddress) == nullptr) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, kLineNoHostEntry, "gethostbyname(%s) failed, error code: %d, error: %s",
                      szHost, iCode, GetSocketErrorText(iCode));
        return false;
    }
    return true;
}

// Starts connecting to szAddress, and on failure (logged) to the host's
// next addresses, building the chain on the socket. False when none is left.
bool StartConnection(Exchange& x, const char* szAddress) {
    x.szFirstAddress = szAddress;
    transport::SocketPtr pSocket(MySocket::Connect(szAddress, ThroughProxy(x) ? x.proxy.iPort : x.iPort, true));
    if (pSocket == nullptr) {
        LogCode(kLabel, 3, kLineConnectFailed, "Connect() failed");
        return ConnectNext(x);
    }
    BuildChain(x, std::move(pSocket));
    return true;
}

}  // namespace

std::string HTTPConnection::BuildRequest(const char* szHost, std::int32_t iPort, const char* szPath,
                                         const char* szUserAgent, const char* szExtraHeader, const char* pPostData,
                                         std::int32_t iPostDataLength, bool bSecure, const char* szProxyAuthorization) {
    // The host carries its port unless it is the scheme's default, in the
    // Host line too, as name-based virtual hosts expect; every line ends in
    // CR LF, as strict servers require.
    const std::string szPort = ":" + std::to_string(iPort);
    const std::string szAuthority =
        Utility::BracketedHost(szHost) + (iPort != (bSecure ? 443 : 80) ? szPort : std::string());
    std::string request = iPostDataLength > 0 ? "POST " : "GET ";
    request += bSecure ? "https://" : "http://";
    request += szAuthority;
    request += szPath[0] != '\0' ? szPath : "/";
    request += " HTTP/1.0\r\n";
    request +=
        "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-powerpoint, "
        "application/vnd.ms-excel, application/msword, application/x-shockwave-flash, */*\r\n";
    request += "Accept-Language: en-us\r\n";
    request += "Pragma: no-cache\r\n";
    if (szUserAgent[0] == '\0') {
        request +=
            "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; .NET CLR 1.0.3705; .NET CLR "
            "1.1.4322)\r\n";
    } else {
        request += std::string("User-Agent: ") + szUserAgent + "\r\n";
    }
    if (szExtraHeader[0] != '\0') request += std::string(szExtraHeader) + "\r\n";
    request += "Host: " + szAuthority + "\r\n";
    if (iPostDataLength > 0) request += "Content-Length: " + std::to_string(iPostDataLength) + "\r\n";
    if (szProxyAuthorization[0] != '\0')
        request += std::string("Proxy-Authorization: ") + szProxyAuthorization + "\r\n";
    request += "Proxy-Connection: Keep-Alive\r\n\r\n";
    if (iPostDataLength > 0) request.append(pPostData, static_cast<std::size_t>(iPostDataLength));
    return request;
}

bool HTTPConnection::Download(const char* szURL, const char* szDefaultIPAddress, const char* szUserAgent,
                              const char* szExtraHeader, const char* pPostData, std::int32_t iPostDataLength,
                              std::int32_t iTimeout, bool bAbsoluteTimeout, DownloadResult* pResult,
                              bool* pbConnectFailed) {
    *pbConnectFailed = false;
    Exchange x(pResult);
    x.tStart = os::CurrentTime();
    x.iTimeout = iTimeout;
    x.bAbsoluteTimeout = bAbsoluteTimeout;
    x.pbConnectFailed = pbConnectFailed;
    x.bSecure = Utility::IsSecureURL(szURL);
    char szHost[Utility::kTextSize] = "";
    char szPath[Utility::kTextSize] = "";
    char szAddress[Utility::kTextSize] = "";
    x.szHost = szHost;
    const bool bPrepared = Prepare(szURL, szDefaultIPAddress, szHost, x.iPort, szPath, szAddress, &x.proxy);
    const bool bProxy = ThroughProxy(x);
    if (!bPrepared || !StartConnection(x, szAddress)) {
        if (bProxy) ProxyUnreachable(x);
        pResult->eFailure = ExchangeFailure::Network;
        return false;
    }
    // Over http: the proxy reads the request itself, so only then does it carry the proxy's authorization.
    const std::string proxyAuthorization = bProxy && !x.bSecure ? x.proxy.authorization : std::string();
    x.request = BuildRequest(szHost, x.iPort, szPath, szUserAgent, szExtraHeader, pPostData, iPostDataLength, x.bSecure,
                             proxyAuthorization.c_str());
    x.tLastActivity = os::CurrentTime();
    x.speed = SpeedWindow(x.tLastActivity);
    while (RunPass(x)) {}
    if (bProxy && !x.pTop->Connected()) ProxyUnreachable(x);
    if (x.iTotalDataReceived <= 0) {
        LogCode(kLabel, 0, kLineNothingReceived, "iTotalDataReceived = 0");
        if (x.bResult) Fail(x, ExchangeFailure::Network);
    } else if (!x.reply.Finish(x.bResult)) {
        x.bResult = false;
    }
    pResult->bNoCloseNotify = x.bSecure && !x.bCloseNotify;
    return x.bResult;  // the chain closes as x ends: TLS first, then the socket
}
