#include "SocketManager/HTTPConnection.h"

#include "SocketManager/MySocket.h"
#include "driver/TaggedText.h"
#include "log/MyLog.h"
#include "platform/Platform.h"
#include "utility/SocketErrorText.h"
#include "utility/Utility.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <vector>

namespace {

const char kSourceFile[] = "SocketManager/HTTPConnection";
const char kLabel[] = "HTTPConnection";
// One receive buffer serves the whole call. It is large so that a fast
// peer is drained in few passes; each piece is still kept at its exact size.
constexpr int kReceiveBufferSize = 1024 * 1024;
constexpr int kReceiveAtMost = kReceiveBufferSize - 1;
// Pieces this large are faulted in before the copy; and the final block is
// faulted in this far ahead of the copy into it.
constexpr int kPrepareAtLeast = 64 * 1024;
constexpr std::size_t kPrepareAhead = 4u * 1024 * 1024;
// Room for the list of pieces of a large reply, so it is not regrown.
constexpr std::size_t kExpectedPieces = 8192;
constexpr std::int32_t kDefaultReplyLimit = std::numeric_limits<std::int32_t>::max() - 1;
constexpr int kSelectTimeoutsToEnd = 2;
constexpr int kLineReplyTooLarge = 372;

std::int32_t s_iReplyLimit = kDefaultReplyLimit;

// One received piece: exactly iLength bytes, owned by the piece.
struct DataChunk {
    std::int32_t iLength;
    char* pBuffer;
};

// Everything one call of Download works with.
struct Exchange {
    MySocket* pSocket = nullptr;
    std::string request;  // the request buffer: request text, then the body
    std::int32_t iBytesSent = 0;
    bool bAllSent = false;
    std::time_t tStart = 0;
    std::time_t tLastActivity = 0;
    bool bCheckInactivity = true;
    int iSelectTimeouts = 0;
    std::vector<DataChunk> chunks;
    std::int32_t iTotalDataReceived = 0;
    bool bResult = true;
    bool bTooLarge = false;
    std::int32_t iTimeout = 0;
    bool bAbsoluteTimeout = false;
    bool* pbConnectFailed = nullptr;
    std::unique_ptr<char[]> pReceiveBuffer;
};

// What a step of a pass decides.
enum class Next { GoOn, EndPass, Leave };

void LogCode(const char* szLabel, int iLevel, int iLine, const char* szWhat) {
    const int iCode = winsock::WSAGetLastError();
    g_pLog->Write(szLabel, iLevel, kSourceFile, iLine, "%s, error code: %d, error: %s", szWhat, iCode,
                  GetSocketErrorText(iCode));
}

// Step 1 of a pass: true when the time-out ends the loop.
bool TimedOut(Exchange& x) {
    const std::time_t now = std::time(nullptr);
    if (x.bAbsoluteTimeout) {
        if (now - x.tStart < x.iTimeout) return false;
        g_pLog->Write(kLabel, 3, kSourceFile, 182, "Timeout now: iTimeout = %d", x.iTimeout);
        return true;
    }
    const bool bCheck = x.bCheckInactivity;
    x.bCheckInactivity = true;
    if (!bCheck || now - x.tLastActivity < x.iTimeout) return false;
    g_pLog->Write(kLabel, 3, kSourceFile, 195, "Timeout now: iTimeout = %d", x.iTimeout);
    return true;
}

void NoteActivity(Exchange& x) {
    x.bCheckInactivity = false;
    x.tLastActivity = std::time(nullptr);
}

// The socket is writable and the request not all sent.
Next OnWritable(Exchange& x, bool bInExceptionSet) {
    if (x.pSocket->m_bConnecting) {
        if (bInExceptionSet) {
            LogCode(kLabel, 3, 258, "failed to connect");
            x.bResult = false;
            *x.pbConnectFailed = true;
            return Next::Leave;
        }
        x.pSocket->m_bConnecting = false;
        x.pSocket->m_bConnected = true;
        return Next::GoOn;
    }
    const std::int32_t iLeft = static_cast<std::int32_t>(x.request.size()) - x.iBytesSent;
    if (iLeft <= 0) return Next::GoOn;
    const int iSent = winsock::send(x.pSocket->m_iSocket, x.request.data() + x.iBytesSent, iLeft, 0);
    if (iSent == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        if (iCode == winsock::kWsaEWouldBlock) return Next::EndPass;
        g_pLog->Write(kLabel, 0, kSourceFile, 278, "iErrorCode: %d, error: %s", iCode, GetSocketErrorText(iCode));
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

// Keeps a copy of the received bytes as one exact-size piece. False when
// the reply would pass the limit of a signed 32-bit length.
bool KeepPiece(Exchange& x, int iReceived) {
    if (iReceived > s_iReplyLimit - x.iTotalDataReceived) {
        g_pLog->Write(kLabel, 3, kSourceFile, kLineReplyTooLarge, "Reply too large: iTotalDataReceived = %d, iReceived = %d",
                      x.iTotalDataReceived, iReceived);
        x.bTooLarge = true;
        x.bResult = false;
        return false;
    }
    DataChunk chunk{iReceived, new char[static_cast<std::size_t>(iReceived)]};
    if (iReceived >= kPrepareAtLeast) os::PrepareForWrite(chunk.pBuffer, static_cast<std::size_t>(iReceived));
    std::memcpy(chunk.pBuffer, x.pReceiveBuffer.get(), static_cast<std::size_t>(iReceived));
    x.chunks.push_back(chunk);
    x.iTotalDataReceived += iReceived;
    return true;
}

Next OnReadable(Exchange& x) {
    if (!x.pReceiveBuffer) x.pReceiveBuffer.reset(new char[kReceiveBufferSize]);
    const int iReceived = winsock::recv(x.pSocket->m_iSocket, x.pReceiveBuffer.get(), kReceiveAtMost, 0);
    if (iReceived == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        if (iCode == winsock::kWsaEWouldBlock) return Next::EndPass;
        g_pLog->Write(kLabel, 0, kSourceFile, 326, "recv() iReturn == -1, error code: %d, error: %s", iCode,
                      GetSocketErrorText(iCode));
        return Next::Leave;
    }
    if (iReceived == 0) return Next::Leave;  // the server closed: the normal end
    NoteActivity(x);
    return KeepPiece(x, iReceived) ? Next::GoOn : Next::Leave;
}

// One pass of the loop; false when the loop ends.
bool RunPass(Exchange& x) {
    if (TimedOut(x)) return false;
    const winsock::SOCKET s = x.pSocket->m_iSocket;
    winsock::FdSet readSet, writeSet, exceptSet;
    winsock::FdZero(&readSet);
    winsock::FdZero(&writeSet);
    winsock::FdZero(&exceptSet);
    winsock::FdAdd(s, &readSet);
    winsock::FdAdd(s, &exceptSet);
    if (!x.bAllSent) winsock::FdAdd(s, &writeSet);
    const winsock::TimeVal wait{static_cast<long>(x.iTimeout), 0};
    const int iReady = winsock::select(static_cast<int>(s) + 1, &readSet, &writeSet, &exceptSet, &wait);
    if (iReady < 0) {
        LogCode("SocketManager", 3, 220, "select() failed");
        x.bResult = false;
        return false;
    }
    Next next = Next::GoOn;
    if (iReady == 0) {
        ++x.iSelectTimeouts;
        if (!x.pSocket->m_bConnected) {
            LogCode(kLabel, 3, 235, "failed to connect");
            x.bResult = false;
            return false;
        }
        next = Next::EndPass;
    }
    if (next == Next::GoOn && winsock::FdIsSet(s, &writeSet) && !x.bAllSent) {
        next = OnWritable(x, winsock::FdIsSet(s, &exceptSet));
    }
    if (next == Next::GoOn && winsock::FdIsSet(s, &readSet)) next = OnReadable(x);
    if (next == Next::GoOn && winsock::FdIsSet(s, &exceptSet)) {
        LogCode(kLabel, 0, 363, "uFdException");
        next = Next::Leave;
    }
    return next != Next::Leave && x.iSelectTimeouts < kSelectTimeoutsToEnd;
}

void SplitHeader(DownloadResult* pResult) {
    struct Separator {
        const char* szText;
        std::int32_t iLength;
        std::int32_t iBodyOffset;
    };
    const Separator kSeparators[] = {{"\r\n\r\n", 4, 4}, {"\n\n", 2, 2}, {"<__Return__>", 12, 0}};
    pResult->iHeaderEnd = -1;
    for (const Separator& separator : kSeparators) {
        const std::int32_t i = FindBytes(separator.szText, separator.iLength, pResult->pData, pResult->iDataLength);
        if (i < 0) continue;
        pResult->iHeaderEnd = i;
        pResult->pBody = pResult->pData + i + separator.iBodyOffset;
        pResult->iBodyLength = pResult->iDataLength - i - separator.iBodyOffset;
        return;
    }
}

// Joins the pieces into pResult->pData and splits it. The pieces are
// copied from the last to the first, each freed as soon as it is copied,
// so memory given back by the pieces is taken up by the block; the block
// is faulted in a few megabytes ahead of the copy.
void Assemble(Exchange& x, DownloadResult* pResult) {
    pResult->iDataLength = x.iTotalDataReceived;
    pResult->pData = new char[static_cast<std::size_t>(x.iTotalDataReceived) + 1];
    char* pWrite = pResult->pData + x.iTotalDataReceived;
    char* pPrepared = pWrite;
    for (auto it = x.chunks.rbegin(); it != x.chunks.rend(); ++it) {
        pWrite -= it->iLength;
        if (pWrite < pPrepared) {
            const std::size_t uAhead = std::min<std::size_t>(kPrepareAhead, static_cast<std::size_t>(pWrite - pResult->pData));
            os::PrepareForWrite(pWrite - uAhead, static_cast<std::size_t>(pPrepared - pWrite) + uAhead);
            pPrepared = pWrite - uAhead;
        }
        std::memcpy(pWrite, it->pBuffer, static_cast<std::size_t>(it->iLength));
        delete[] it->pBuffer;
        it->pBuffer = nullptr;
    }
    x.chunks.clear();
    pResult->pData[x.iTotalDataReceived] = '\0';  // the spare byte
    SplitHeader(pResult);
}

void CleanUp(Exchange& x) {
    x.pSocket->Close();
    delete x.pSocket;
    x.pSocket = nullptr;
    std::string().swap(x.request);
    for (DataChunk& chunk : x.chunks) delete[] chunk.pBuffer;
    x.chunks.clear();
}

// Splits, resolves and checks the URL's server and starts the connection.
// Null, after logging, when any step fails.
MySocket* Prepare(const char* szURL, const char* szDefaultIPAddress, char* szHost, std::int32_t& iPort,
                  char* szPath) {
    char szAddress[Utility::kTextSize] = "";
    if (!Utility::GetDomainNameFromURL(szURL, szHost, iPort, szPath)) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, 63, "Failed to parse SERVER_ADDRESS: %s, Error Code = %d, Error = %s",
                      szURL, iCode, GetSocketErrorText(iCode));
        return nullptr;
    }
    if (!Utility::ResolveHostName(szHost, szAddress)) {
        const bool bFallback = szDefaultIPAddress != nullptr && szDefaultIPAddress[0] != '\0' &&
                               std::strlen(szDefaultIPAddress) < sizeof szAddress;
        if (!bFallback) {
            const int iCode = winsock::WSAGetLastError();
            g_pLog->Write(kLabel, 3, kSourceFile, 74,
                          "Failed to get IP address for SERVER_ADDRESS: %s, Error Code = %d, Error = %s", szURL, iCode,
                          GetSocketErrorText(iCode));
            return nullptr;
        }
        std::strcpy(szAddress, szDefaultIPAddress);
    }
    if (winsock::inet_addr(szAddress) == winsock::kInaddrNone) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, 100, "inet_addr(%s) failed, error code: %d, error: %s", szHost, iCode,
                      GetSocketErrorText(iCode));
        return nullptr;
    }
    if (winsock::gethostbyname(szAddress) == nullptr) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write(kLabel, 3, kSourceFile, 91, "gethostbyname(%s) failed, error code: %d, error: %s", szHost, iCode,
                      GetSocketErrorText(iCode));
        return nullptr;
    }
    MySocket* pSocket = MySocket::Connect(szAddress, iPort, true);
    if (pSocket == nullptr) LogCode(kLabel, 3, 108, "Connect() failed");
    return pSocket;
}

}  // namespace

std::string HTTPConnection::BuildRequest(const char* szHost, std::int32_t iPort, const char* szPath,
                                         const char* szUserAgent, const char* szExtraHeader, const char* pPostData,
                                         std::int32_t iPostDataLength) {
    std::string request = iPostDataLength > 0 ? "POST " : "GET ";
    request += "http://";
    request += szHost;
    if (iPort != 80) request += ":" + std::to_string(iPort);
    request += szPath[0] != '\0' ? szPath : "/";
    request += " HTTP/1.0\n";
    request += "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-powerpoint, "
               "application/vnd.ms-excel, application/msword, application/x-shockwave-flash, */*\n";
    request += "Accept-Language: en-us\n";
    request += "Pragma: no-cache\n";
    if (szUserAgent[0] == '\0') {
        request += "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; .NET CLR 1.0.3705; .NET CLR "
                   "1.1.4322)\n";
    } else {
        request += std::string("User-Agent: ") + szUserAgent + "\n";
    }
    if (szExtraHeader[0] != '\0') request += std::string(szExtraHeader) + "\n";
    request += std::string("Host: ") + szHost + "\n";
    if (iPostDataLength > 0) request += "Content-Length: " + std::to_string(iPostDataLength) + "\n";
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
    x.tStart = std::time(nullptr);
    x.iTimeout = iTimeout;
    x.bAbsoluteTimeout = bAbsoluteTimeout;
    x.pbConnectFailed = pbConnectFailed;
    char szHost[Utility::kTextSize] = "";
    char szPath[Utility::kTextSize] = "";
    std::int32_t iPort = 80;
    x.pSocket = Prepare(szURL, szDefaultIPAddress, szHost, iPort, szPath);
    if (x.pSocket == nullptr) return false;
    x.request = BuildRequest(szHost, iPort, szPath, szUserAgent, szExtraHeader, pPostData, iPostDataLength);
    x.tLastActivity = std::time(nullptr);
    x.chunks.reserve(kExpectedPieces);
    while (RunPass(x)) {
    }
    if (x.iTotalDataReceived <= 0) {
        LogCode(kLabel, 0, 411, "iTotalDataReceived = 0");
        x.bResult = false;
    } else if (!x.bTooLarge) {
        Assemble(x, pResult);
    }
    CleanUp(x);
    return x.bResult;
}

void HTTPConnection::SetReplyLimitForTesting(std::int32_t iLimit) {
    s_iReplyLimit = iLimit > 0 ? iLimit : kDefaultReplyLimit;
}
