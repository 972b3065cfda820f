#include "SocketManager/HTTPConnection.h"

#include "SocketManager/MySocket.h"
#include "SocketManager/TlsChannel.h"
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
// arrived in the last kLowSpeedSeconds, so a trickling server cannot hold a
// run for ever.
constexpr int kLowSpeedSeconds = 60;
constexpr std::int64_t kLowSpeedBytes = 1024;
const char kReturnTag[] = "<__Return__>";
constexpr std::int32_t kReturnTagLength = sizeof kReturnTag - 1;

// The lines of this module's log records.
constexpr int kLineBadUrl = 63;
constexpr int kLineUnresolved = 74;
constexpr int kLineNoHostEntry = 91;
constexpr int kLineNotAnAddress = 100;
constexpr int kLineConnectFailed = 108;
constexpr int kLineNextAddress = 112;
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

// Bytes received in each of the last kLowSpeedSeconds seconds.
struct SpeedWindow {
    std::int64_t iStart = 0;                      // when the window began to count
    std::int64_t aSecond[kLowSpeedSeconds] = {};  // the second each slot counts
    std::int64_t aBytes[kLowSpeedSeconds] = {};

    void Note(std::int64_t iNow, std::int64_t iBytes) {
        const std::size_t uSlot = static_cast<std::size_t>(iNow % kLowSpeedSeconds);
        if (aSecond[uSlot] != iNow) {
            aSecond[uSlot] = iNow;
            aBytes[uSlot] = 0;
        }
        aBytes[uSlot] += iBytes;
    }
    // The bytes of the last kLowSpeedSeconds seconds.
    std::int64_t Recent(std::int64_t iNow) const {
        std::int64_t iSum = 0;
        for (int i = 0; i < kLowSpeedSeconds; ++i) iSum += aSecond[i] > iNow - kLowSpeedSeconds ? aBytes[i] : 0;
        return iSum;
    }
};

// The bytes before the body, held once: in one block that grows to 64 KiB,
// then to 1 MiB, then at once to the whole bound (pages never written cost
// no memory), and that becomes the caller's pData without a copy.
class HeaderBuffer {
public:
    const char* Data() const { return m_pBytes.get(); }
    std::size_t Size() const { return m_uSize; }
    // REQUIRES: Size() + uLength <= HTTPConnection::kHeaderLimit.
    void Append(const char* pBytes, std::size_t uLength) {
        const std::size_t uNeeded = m_uSize + uLength;
        if (uNeeded > m_uCapacity) {
            const std::size_t uCapacity = uNeeded <= kSmall    ? kSmall
                                          : uNeeded <= kMedium ? kMedium
                                                               : static_cast<std::size_t>(HTTPConnection::kHeaderLimit);
            std::unique_ptr<char[]> pBigger(new char[uCapacity + 1]);
            if (m_uSize > 0) std::memcpy(pBigger.get(), m_pBytes.get(), m_uSize);
            m_pBytes = std::move(pBigger);
            m_uCapacity = uCapacity;
        }
        if (uLength > 0) std::memcpy(m_pBytes.get() + m_uSize, pBytes, uLength);
        m_uSize = uNeeded;
    }
    // Keeps the first uSize (<= Size()) bytes.
    void Truncate(std::size_t uSize) { m_uSize = uSize; }
    void Clear() {
        m_pBytes.reset();
        m_uSize = m_uCapacity = 0;
    }
    // The block, a NUL after its Size() bytes, for the caller to free with
    // delete[]; the buffer is empty afterwards. REQUIRES: Size() > 0.
    char* Release() {
        m_pBytes[m_uSize] = '\0';
        m_uSize = m_uCapacity = 0;
        return m_pBytes.release();
    }

private:
    static constexpr std::size_t kSmall = 64 * 1024;
    static constexpr std::size_t kMedium = 1024 * 1024;
    std::unique_ptr<char[]> m_pBytes;
    std::size_t m_uSize = 0;
    std::size_t m_uCapacity = 0;  // bytes the block holds, the spare byte not counted
};

// Everything one call of Download works with.
struct Exchange {
    MySocket* pSocket = nullptr;
    bool bSecure = false;              // "https:": everything after the connect goes through pTls
    const char* szHost = nullptr;      // the URL's host, which the certificate must name
    std::unique_ptr<TlsChannel> pTls;  // made once the connection is up
    bool bHandshaking = false;
    bool bSecureWantsWrite = true;  // what the TLS layer waits for
    bool bCloseNotify = false;      // the server's close_notify ended the reply
    std::uint64_t uRawSeen = 0;     // the TLS layer's raw bytes counted so far
    std::string request;            // the request buffer: request text, then the body
    std::int32_t iBytesSent = 0;
    bool bAllSent = false;
    std::int64_t tStart = 0;
    std::int64_t tLastActivity = 0;
    SpeedWindow speed;
    bool bCheckInactivity = true;
    int iSelectTimeouts = 0;
    std::int64_t iTotalDataReceived = 0;
    HeaderBuffer header;                                    // the bytes before the body, at most kHeaderLimit
    bool bInBody = false;                                   // the blank line was found: bytes go to the destination
    std::int64_t iBodyLeft = BodyDestination::kUntilClose;  // body bytes still to read, once bInBody
    bool bComplete = false;  // the reply is whole or settled: the exchange ends without waiting
    bool bResult = true;
    std::int32_t iTimeout = 0;
    bool bAbsoluteTimeout = false;
    bool* pbConnectFailed = nullptr;
    DownloadResult* pResult = nullptr;
    std::unique_ptr<char[]> pReceiveBuffer;
    // The addresses to try when connecting fails: the host's whole answer
    // (both families, looked up on the first failure), less the first one.
    std::int32_t iPort = 80;
    std::string szFirstAddress;
    std::vector<std::string> nextAddresses;
    std::size_t uNextAddress = 0;
    bool bNextLookedUp = false;
};

// What a step of a pass decides.
enum class Next { GoOn, EndPass, Leave };

void LogCode(const char* szLabel, int iLevel, int iLine, const char* szWhat) {
    const int iCode = winsock::WSAGetLastError();
    g_pLog->Write(szLabel, iLevel, kSourceFile, iLine, "%s, error code: %d, error: %s", szWhat, iCode,
                  GetSocketErrorText(iCode));
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
    if (now - x.speed.iStart < kLowSpeedSeconds) return false;
    const std::int64_t iRecent = x.speed.Recent(now);
    if (iRecent >= kLowSpeedBytes) return false;
    g_pLog->Write(kLabel, 3, kSourceFile, kLineTooSlow, "Too slow: %lld bytes in the last %d seconds",
                  static_cast<long long>(iRecent), kLowSpeedSeconds);
    Fail(x, ExchangeFailure::Network);
    return true;
}

// Connecting to the current address failed: closes its socket and starts
// connecting to the next address of the host's answer that is left, if
// any (logged). True with x.pSocket under way again, the time-outs
// counting afresh.
bool ConnectNext(Exchange& x) {
    if (!x.bNextLookedUp) {
        x.bNextLookedUp = true;
        winsock::LookupAllAddresses(x.szHost, &x.nextAddresses);
    }
    while (x.uNextAddress < x.nextAddresses.size()) {
        const std::string& szAddress = x.nextAddresses[x.uNextAddress++];
        if (szAddress == x.szFirstAddress) continue;
        if (x.pSocket != nullptr) {
            x.pSocket->Close();
            delete x.pSocket;
            x.pSocket = nullptr;
        }
        g_pLog->Write(kLabel, 0, kSourceFile, kLineNextAddress, "Trying the next address of %s: %s", x.szHost,
                      szAddress.c_str());
        x.pSocket = MySocket::Connect(szAddress.c_str(), x.iPort, true);
        if (x.pSocket == nullptr) continue;
        x.iSelectTimeouts = 0;
        x.tLastActivity = os::CurrentTime();
        return true;
    }
    return false;
}

// The connection is up: TLS begins with the handshake.
Next OpenTls(Exchange& x) {
    x.pTls = TlsChannel::Open(x.pSocket->m_iSocket, x.szHost);
    if (x.pTls == nullptr) {
        Fail(x, ExchangeFailure::Tls);
        return Next::Leave;
    }
    x.bHandshaking = true;
    return Next::EndPass;
}

// The socket is writable and the request not all sent.
Next OnWritable(Exchange& x, bool bInExceptionSet) {
    if (x.pSocket->m_bConnecting) {
        if (bInExceptionSet) {
            LogCode(kLabel, 3, kLineConnectRefused, "failed to connect");
            if (ConnectNext(x)) return Next::EndPass;
            Fail(x, ExchangeFailure::Network);
            *x.pbConnectFailed = true;
            return Next::Leave;
        }
        x.pSocket->m_bConnecting = false;
        x.pSocket->m_bConnected = true;
        return x.bSecure ? OpenTls(x) : Next::GoOn;
    }
    const std::int32_t iLeft = static_cast<std::int32_t>(x.request.size()) - x.iBytesSent;
    if (iLeft <= 0) return Next::GoOn;
    const int iSent = winsock::send(x.pSocket->m_iSocket, x.request.data() + x.iBytesSent, iLeft, 0);
    if (iSent == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        if (iCode == winsock::kWsaEWouldBlock) return Next::EndPass;
        g_pLog->Write(kLabel, 0, kSourceFile, kLineSendFailed, "iErrorCode: %d, error: %s", iCode,
                      GetSocketErrorText(iCode));
        NoteCutShort(x);
        return Next::Leave;
    }
    if (iSent == 0) return Next::EndPass;
    NoteActivity(x);
    x.iBytesSent += iSent;
    if (x.iBytesSent >= static_cast<std::int32_t>(x.request.size())) {
        x.bAllSent = true;
        return Next::EndPass;
    }
    return Next::GoOn;
}

// Hands body bytes to the caller's destination, up to the length it asked
// for; bytes past it are only counted, and the reply is then complete, as
// it is once the destination is settled. False when it refuses them.
bool GiveToBody(Exchange& x, const char* pBytes, std::size_t uLength) {
    std::size_t uTake = uLength;
    if (x.bComplete) {
        uTake = 0;
    } else if (x.iBodyLeft >= 0) {
        uTake = static_cast<std::size_t>(std::min<std::int64_t>(x.iBodyLeft, static_cast<std::int64_t>(uLength)));
        x.iBodyLeft -= static_cast<std::int64_t>(uTake);
        x.bComplete = x.iBodyLeft == 0;
    }
    x.pResult->iExcessLength += static_cast<std::int64_t>(uLength - uTake);
    if (uTake == 0) return true;
    BodyDestination* pDestination = x.pResult->pBodyDestination;
    if (!pDestination->Append(pBytes, uTake)) {
        x.bResult = false;
        return false;
    }
    x.pResult->iBodyLength += static_cast<std::int64_t>(uTake);
    if (pDestination->Settled()) x.bComplete = true;
    return true;
}

// The first blank line ("\r\n\r\n" or "\n\n", whichever starts first) in
// text at or after iFrom: its index and length, or false.
bool FindBlankLine(const HeaderBuffer& text, std::int32_t iFrom, std::int32_t* piAt, std::int32_t* piLength) {
    const std::int32_t iSize = static_cast<std::int32_t>(text.Size());
    const char* pFrom = text.Data() + iFrom;
    const std::int32_t iCrLf = FindBytes("\r\n\r\n", 4, pFrom, iSize - iFrom);
    const std::int32_t iLf = FindBytes("\n\n", 2, pFrom, iSize - iFrom);
    if (iCrLf < 0 && iLf < 0) return false;
    const bool bCrLf = iCrLf >= 0 && (iLf < 0 || iCrLf < iLf);
    *piAt = iFrom + (bCrLf ? iCrLf : iLf);
    *piLength = bCrLf ? 4 : 2;
    return true;
}

// Adds received bytes to the header until its blank line shows; from then
// on they belong to the body. False when the reply cannot go on, or need
// not: it is complete.
bool TakeReceived(Exchange& x, const char* pBytes, std::size_t uLength) {
    if (x.bInBody) return GiveToBody(x, pBytes, uLength) && !x.bComplete;
    const std::size_t uOld = x.header.Size();
    const std::size_t uTake = std::min(uLength, static_cast<std::size_t>(HTTPConnection::kHeaderLimit) - uOld);
    x.header.Append(pBytes, uTake);
    // A separator may straddle the old end: look from three bytes before it.
    const std::int32_t iFrom = static_cast<std::int32_t>(uOld > 3 ? uOld - 3 : 0);
    std::int32_t iAt = 0, iSeparator = 0;
    if (!FindBlankLine(x.header, iFrom, &iAt, &iSeparator)) {
        if (uTake == uLength) return true;
        g_pLog->Write(kLabel, 3, kSourceFile, kLineHeaderTooLarge,
                      "Reply header too large: no blank line in the first %d bytes", HTTPConnection::kHeaderLimit);
        x.header.Clear();
        Fail(x, ExchangeFailure::Protocol);
        return false;
    }
    x.bInBody = true;
    x.pResult->iHeaderEnd = iAt;
    x.iBodyLeft = x.pResult->pBodyDestination->HeaderEnds(x.header.Data(), iAt);
    x.bComplete = x.iBodyLeft == 0;
    const std::size_t uBodyStart = static_cast<std::size_t>(iAt + iSeparator);
    const bool bKept = GiveToBody(x, x.header.Data() + uBodyStart, x.header.Size() - uBodyStart) &&
                       GiveToBody(x, pBytes + uTake, uLength - uTake);
    x.header.Truncate(uBodyStart);
    return bKept && !x.bComplete;
}

// The call's one receive buffer (kReceiveBufferSize bytes), made on first use.
char* ReceiveBuffer(Exchange& x) {
    if (!x.pReceiveBuffer) x.pReceiveBuffer.reset(new char[kReceiveBufferSize]);
    return x.pReceiveBuffer.get();
}

// uLength (> 0) bytes arrived in the receive buffer: they count for the
// time-outs and the low-speed limit, and go to the header or the body.
// False when the reply cannot go on.
bool Received(Exchange& x, std::size_t uLength) {
    NoteActivity(x);
    // Over TLS the raw bytes count for the low-speed limit (NoteRawArrival).
    if (!x.bSecure) x.speed.Note(x.tLastActivity, static_cast<std::int64_t>(uLength));
    x.iTotalDataReceived += static_cast<std::int64_t>(uLength);
    return TakeReceived(x, x.pReceiveBuffer.get(), uLength);
}

Next OnReadable(Exchange& x) {
    const int iReceived = winsock::recv(x.pSocket->m_iSocket, ReceiveBuffer(x), kReceiveBufferSize, 0);
    if (iReceived == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        if (iCode == winsock::kWsaEWouldBlock) return Next::EndPass;
        g_pLog->Write(kLabel, 0, kSourceFile, kLineRecvFailed, "recv() iReturn == -1, error code: %d, error: %s", iCode,
                      GetSocketErrorText(iCode));
        x.pResult->bEndedByError = true;
        NoteCutShort(x);
        return Next::Leave;
    }
    if (iReceived == 0) return Next::Leave;  // the server closed: the normal end
    return Received(x, static_cast<std::size_t>(iReceived)) ? Next::GoOn : Next::Leave;
}

// Over TLS the raw bytes that reach the TLS layer are the connection's
// activity, for the time-out and the low-speed limit alike: a record
// arriving slowly shows no decrypted byte until it is whole.
void NoteRawArrival(Exchange& x) {
    const std::uint64_t uRaw = x.pTls->BytesReceived();
    if (uRaw <= x.uRawSeen) return;
    NoteActivity(x);
    x.speed.Note(x.tLastActivity, static_cast<std::int64_t>(uRaw - x.uRawSeen));
    x.uRawSeen = uRaw;
}

// A TLS call that failed, logged by the channel: a refused certificate
// fails the exchange as at the handshake; anything else cut the reply
// short.
Next SecureCallFailed(Exchange& x) {
    if (x.pTls->Failure() == tls::Failure::Certificate) {
        Fail(x, ExchangeFailure::Tls);
    } else {
        NoteCutShort(x);
    }
    return Next::Leave;
}

// Over TLS: the handshake, then the request, then the reply, each as far
// as the socket lets it go now.
Next SecureSteps(Exchange& x) {
    if (x.bHandshaking) {
        const TlsChannel::Result result = x.pTls->Handshake();
        if (result == TlsChannel::Result::Failed) {
            Fail(x, x.pTls->Failure() == tls::Failure::Socket ? ExchangeFailure::Network : ExchangeFailure::Tls);
            return Next::Leave;
        }
        NoteActivity(x);
        x.bSecureWantsWrite = x.pTls->WantsWrite();
        if (result != TlsChannel::Result::Done) return Next::EndPass;
        x.bHandshaking = false;
    }
    while (!x.bAllSent) {
        std::size_t uSent = 0;
        const std::size_t uLeft = x.request.size() - static_cast<std::size_t>(x.iBytesSent);
        const TlsChannel::Result result = x.pTls->Send(x.request.data() + x.iBytesSent, uLeft, &uSent);
        if (result == TlsChannel::Result::Wait) {
            x.bSecureWantsWrite = x.pTls->WantsWrite();
            return Next::EndPass;
        }
        if (result != TlsChannel::Result::Done) return SecureCallFailed(x);
        NoteActivity(x);
        x.iBytesSent += static_cast<std::int32_t>(uSent);
        x.bAllSent = x.iBytesSent >= static_cast<std::int32_t>(x.request.size());
    }
    for (;;) {
        std::size_t uReceived = 0;
        const TlsChannel::Result result =
            x.pTls->Receive(ReceiveBuffer(x), kReceiveBufferSize, &uReceived, &x.pResult->bEndedByError);
        if (result == TlsChannel::Result::Wait) {
            x.bSecureWantsWrite = x.pTls->WantsWrite();
            return Next::EndPass;
        }
        if (result == TlsChannel::Result::Ended) {  // close_notify: the normal end
            x.bCloseNotify = true;
            return Next::Leave;
        }
        if (result == TlsChannel::Result::Failed) return SecureCallFailed(x);
        if (!Received(x, uReceived)) return Next::Leave;
    }
}

Next OnSecureReady(Exchange& x) {
    const Next next = SecureSteps(x);
    NoteRawArrival(x);
    return next;
}

// Whether the pass waits for the socket to be writable: while connecting,
// and then while the request is not all sent, or as the TLS layer asks.
bool WaitsForWritable(const Exchange& x) {
    if (!x.bSecure || x.pSocket->m_bConnecting) return !x.bAllSent;
    return x.bSecureWantsWrite;
}

// One pass of the loop; false when the loop ends. The write set is given
// only while the request is not all sent: an empty set is passed as null.
bool RunPass(Exchange& x) {
    if (TimedOut(x) || TooSlow(x)) return false;
    const winsock::SOCKET s = x.pSocket->m_iSocket;
    winsock::FdSet readSet, writeSet, exceptSet;
    winsock::FdZero(&readSet);
    winsock::FdZero(&writeSet);
    winsock::FdZero(&exceptSet);
    winsock::FdAdd(s, &readSet);
    winsock::FdAdd(s, &exceptSet);
    const bool bWaitsForWritable = WaitsForWritable(x);
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
        if (!x.pSocket->m_bConnected) {
            LogCode(kLabel, 3, kLineConnectTimedOut, "failed to connect");
            if (ConnectNext(x)) return true;
            Fail(x, ExchangeFailure::Network);
            return false;
        }
        next = Next::EndPass;
    }
    const bool bWritable = bWaitsForWritable && winsock::FdIsSet(s, &writeSet);
    const bool bReadable = winsock::FdIsSet(s, &readSet);
    if (x.bSecure && x.pSocket->m_bConnected) {
        if (next == Next::GoOn && (bReadable || bWritable)) next = OnSecureReady(x);
    } else {
        if (next == Next::GoOn && !x.bAllSent && bWritable) next = OnWritable(x, winsock::FdIsSet(s, &exceptSet));
        if (next == Next::GoOn && bReadable && !x.bSecure) next = OnReadable(x);
    }
    if (next == Next::GoOn && winsock::FdIsSet(s, &exceptSet)) {
        LogCode(kLabel, 0, kLineException, "uFdException");
        if (x.pSocket->m_bConnecting && ConnectNext(x)) return true;  // a connect that failed
        x.pResult->bEndedByError = true;
        NoteCutShort(x);
        next = Next::Leave;
    }
    return next != Next::Leave && x.iSelectTimeouts < kSelectTimeoutsToEnd;
}

// After the loop: a reply that never showed a blank line has its body at
// "<__Return__>", if anywhere; the header bytes are handed over in pData.
void Finish(Exchange& x) {
    DownloadResult* pResult = x.pResult;
    if (!x.bInBody) {
        pResult->iHeaderEnd = -1;
        const std::int32_t iTag =
            FindBytes(kReturnTag, kReturnTagLength, x.header.Data(), static_cast<std::int32_t>(x.header.Size()));
        if (iTag >= 0 && x.bResult) {
            pResult->iHeaderEnd = iTag;
            GiveToBody(x, x.header.Data() + iTag, x.header.Size() - static_cast<std::size_t>(iTag));
        }
    }
    if (x.header.Size() == 0) return;
    pResult->iDataLength = static_cast<std::int32_t>(x.header.Size());
    pResult->pData = x.header.Release();  // with the spare byte
}

void CleanUp(Exchange& x) {
    if (x.pTls != nullptr) x.pTls->Close();
    x.pTls.reset();
    if (x.pSocket == nullptr) return;
    x.pSocket->Close();
    delete x.pSocket;
    x.pSocket = nullptr;
    std::string().swap(x.request);
    x.header.Clear();
}

// Splits, resolves and checks the URL's server into szHost, iPort, szPath
// and szAddress (kTextSize bytes each): the host's IPv4 address, else the
// default address, else the host's first IPv6 address. False, after
// logging, when any step fails.
bool Prepare(const char* szURL, const char* szDefaultIPAddress, char* szHost, std::int32_t& iPort, char* szPath,
             char* szAddress) {
    if (!Utility::GetDomainNameFromURL(szURL, szHost, iPort, szPath)) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, kLineBadUrl,
                      "Failed to parse SERVER_ADDRESS: %s, Error Code = %d, Error = %s", LoggableUrl(szURL).c_str(),
                      iCode, GetSocketErrorText(iCode));
        return false;
    }
    if (!Utility::ResolveHostName(szHost, szAddress)) {
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
// next addresses. False when none is left.
bool StartConnection(Exchange& x, const char* szAddress) {
    x.szFirstAddress = szAddress;
    x.pSocket = MySocket::Connect(szAddress, x.iPort, true);
    if (x.pSocket != nullptr) return true;
    LogCode(kLabel, 3, kLineConnectFailed, "Connect() failed");
    return ConnectNext(x);
}

}  // namespace

std::string HTTPConnection::BuildRequest(const char* szHost, std::int32_t iPort, const char* szPath,
                                         const char* szUserAgent, const char* szExtraHeader, const char* pPostData,
                                         std::int32_t iPostDataLength, bool bSecure) {
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
    request += "Proxy-Connection: Keep-Alive\r\n\r\n";
    if (iPostDataLength > 0) request.append(pPostData, static_cast<std::size_t>(iPostDataLength));
    return request;
}

bool HTTPConnection::Download(const char* szURL, const char* szDefaultIPAddress, const char* szUserAgent,
                              const char* szExtraHeader, const char* pPostData, std::int32_t iPostDataLength,
                              std::int32_t iTimeout, bool bAbsoluteTimeout, DownloadResult* pResult,
                              bool* pbConnectFailed) {
    *pbConnectFailed = false;
    Exchange x;
    x.tStart = os::CurrentTime();
    x.iTimeout = iTimeout;
    x.bAbsoluteTimeout = bAbsoluteTimeout;
    x.pbConnectFailed = pbConnectFailed;
    x.pResult = pResult;
    x.bSecure = Utility::IsSecureURL(szURL);
    char szHost[Utility::kTextSize] = "";
    char szPath[Utility::kTextSize] = "";
    char szAddress[Utility::kTextSize] = "";
    x.szHost = szHost;
    if (!Prepare(szURL, szDefaultIPAddress, szHost, x.iPort, szPath, szAddress) || !StartConnection(x, szAddress)) {
        pResult->eFailure = ExchangeFailure::Network;
        return false;
    }
    x.request =
        BuildRequest(szHost, x.iPort, szPath, szUserAgent, szExtraHeader, pPostData, iPostDataLength, x.bSecure);
    x.tLastActivity = os::CurrentTime();
    x.speed.iStart = x.tLastActivity;
    while (RunPass(x)) {}
    if (x.iTotalDataReceived <= 0) {
        LogCode(kLabel, 0, kLineNothingReceived, "iTotalDataReceived = 0");
        if (x.bResult) Fail(x, ExchangeFailure::Network);
    } else {
        Finish(x);
    }
    pResult->bNoCloseNotify = x.bSecure && !x.bCloseNotify;
    CleanUp(x);
    return x.bResult;
}
