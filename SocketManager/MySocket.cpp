#include "SocketManager/MySocket.h"

#include "log/MyLog.h"
#include "utility/SocketErrorText.h"

#include <cstring>
#include <memory>

namespace {

const char kSourceFile[] = "SocketManager/MySocket";
constexpr int kSendBufferSize = 128000;
constexpr int kDrainSize = 128;

// Log lines of the socket's records.
constexpr int kLineCloseInvalid = 270;          // Close() of a socket that was never opened
constexpr int kLineCloseListening = 276;        // Close() of a listening socket, which it leaves open
constexpr int kLineCloseFailed = 305;           // closesocket() failed
constexpr int kLineClosed = 310;                // the socket is closed
constexpr int kLineNonBlockingFailed = 348;     // ioctlsocket() failed
constexpr int kLineDottedLookupFailed = 408;    // gethostbyname() of a dotted address failed
constexpr int kLineLookupNoAnswer = 427;        // gethostbyname() gave no answer
constexpr int kLineLookupNoAddress = 443;       // gethostbyname() answered without an address
constexpr int kLineConnectEnter = 494;          // Connect() begins
constexpr int kLineAddressFailed = 503;         // SetAddress() failed
constexpr int kLineSocketFailed = 511;          // socket() failed
constexpr int kLineSetNonBlockingFailed = 519;  // SetNonBlocking() failed
constexpr int kLineSendBufferFailed = 528;      // setsockopt() of the send buffer failed
constexpr int kLineConnectFailed = 558;         // connect() failed
constexpr int kLineConnected = 566;             // Connect() ends with a socket

// Writes a record for a failed call: the call's format with the current
// Winsock code and its text appended as the format's last two values.
void LogFailure(const char* szLabel, int iLine, const char* szCall) {
    const int iCode = winsock::WSAGetLastError();
    g_pLog->Write(szLabel, 3, kSourceFile, iLine, "%s, error code: %d, error: %s", szCall, iCode,
                  GetSocketErrorText(iCode));
}

int Handle(winsock::SOCKET s) { return static_cast<int>(s); }

}  // namespace

MySocket::MySocket()
    : m_iSocket(winsock::kInvalidSocket),
      m_bListening(false),
      m_bConnecting(false),
      m_bConnected(false),
      m_iListenPort(0),
      m_RemoteAddress(),
      m_bIpv6(false),
      m_RemoteAddress6() {}

bool MySocket::SetIpv6Address(const char* szHost, std::int32_t iPort) {
    if (szHost == nullptr || !winsock::ParseIpv6(szHost, m_RemoteAddress6.sin6_addr)) return false;
    m_RemoteAddress6.sin6_family = static_cast<std::uint16_t>(winsock::kAfInet6);
    m_RemoteAddress6.sin6_port = winsock::HostToNetShort(static_cast<std::uint16_t>(iPort));
    m_bIpv6 = true;
    return true;
}

const char* MySocket::RemoteAddressText(char* szBuffer, std::size_t uSize) const {
    if (!m_bIpv6) return winsock::inet_ntoa(m_RemoteAddress.sin_addr);
    if (!winsock::FormatIpv6(m_RemoteAddress6.sin6_addr, szBuffer, uSize)) szBuffer[0] = '\0';
    return szBuffer;
}

bool MySocket::SetAddress(const char* szHost, std::int32_t iPort, winsock::SockAddrIn* pAddress) {
    pAddress->sin_family = static_cast<std::uint16_t>(winsock::kAfInet);
    pAddress->sin_port = 0;
    const std::uint16_t uPort = winsock::HostToNetShort(static_cast<std::uint16_t>(iPort));
    if (szHost == nullptr) {
        pAddress->sin_addr = winsock::HostToNetLong(winsock::kInaddrAny);
        pAddress->sin_port = uPort;
        return true;
    }
    const std::uint32_t uAddress = winsock::inet_addr(szHost);
    if (uAddress != winsock::kInaddrNone) {
        pAddress->sin_addr = uAddress;
        const winsock::HostEnt* pEntry = winsock::gethostbyname(szHost);
        if (pEntry != nullptr && pEntry->h_addr_list != nullptr && pEntry->h_addr_list[0] != nullptr) {
            std::memcpy(&pAddress->sin_addr, pEntry->h_addr_list[0], 4);
            pAddress->sin_port = uPort;
            return true;
        }
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write("MySocket::SetAddress", 3, kSourceFile, kLineDottedLookupFailed,
                      "gethostbyname(%s) failed, error code: %d, error: %s", szHost, iCode, GetSocketErrorText(iCode));
    }
    const winsock::HostEnt* pEntry = winsock::gethostbyname(szHost);
    const bool bNoAnswer = pEntry == nullptr;
    if (bNoAnswer || pEntry->h_addr_list == nullptr || pEntry->h_addr_list[0] == nullptr) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write("MySocket::SetAddress", 3, kSourceFile, bNoAnswer ? kLineLookupNoAnswer : kLineLookupNoAddress,
                      "gethostbyname(%s) failed, error code: %d, error: %s", szHost, iCode, GetSocketErrorText(iCode));
        return false;
    }
    std::memcpy(&pAddress->sin_addr, pEntry->h_addr_list[0], 4);
    pAddress->sin_port = uPort;
    return true;
}

bool MySocket::SetNonBlocking(bool bNonBlocking) {
    std::uint32_t uValue = bNonBlocking ? 1u : 0u;
    if (winsock::ioctlsocket(m_iSocket, winsock::kFionbio, &uValue) == 0) return true;
    LogFailure("MySocket::SetNonBlocking", kLineNonBlockingFailed, "ioctlsocket()");
    return false;
}

void MySocket::Close() {
    if (m_iSocket == winsock::kInvalidSocket) {
        g_pLog->Write("MySocket::Close", 0, kSourceFile, kLineCloseInvalid, "m_iSocket is INVALID_SOCKET");
        return;
    }
    if (m_bListening) {
        g_pLog->Write("MySocket::Close", 0, kSourceFile, kLineCloseListening,
                      "!!!! m_iSocket %d is a listening socket on port: %d", Handle(m_iSocket), m_iListenPort);
        return;
    }
    if (m_bConnected) winsock::shutdown(m_iSocket, winsock::kSdSend);
    char aDrain[kDrainSize];
    winsock::recv(m_iSocket, aDrain, kDrainSize, 0);
    if (winsock::closesocket(m_iSocket) == winsock::kSocketError) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write("MySocket::Close", 2, kSourceFile, kLineCloseFailed,
                      "closesocket(m_iSocket) == -1, m_iSocket = %d, error code: %d, error: %s", Handle(m_iSocket),
                      iCode, GetSocketErrorText(iCode));
        return;
    }
    g_pLog->Write("MySocket::MySocket", 0, kSourceFile, kLineClosed, "Closing socket: %d", Handle(m_iSocket));
}

MySocket* MySocket::Connect(const char* szHost, std::int32_t iPort, bool bNonBlocking) {
    g_pLog->Write("MySocket::Connect", 0, kSourceFile, kLineConnectEnter, "Enter MySocket::Connect(%s) -- %d", szHost,
                  static_cast<std::int32_t>(2u * static_cast<std::uint32_t>(iPort)));
    // Freed on every failure below, after the Close() that failure calls for.
    std::unique_ptr<MySocket> pSocket(new MySocket);
    if (!pSocket->SetIpv6Address(szHost, iPort) && !pSocket->SetAddress(szHost, iPort, &pSocket->m_RemoteAddress)) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write("MySocket::Connect", 3, kSourceFile, kLineAddressFailed,
                      "SetAddress(%s) failed, error code: %d, error: %s", szHost, iCode, GetSocketErrorText(iCode));
        return nullptr;
    }
    pSocket->m_iSocket =
        winsock::socket(pSocket->m_bIpv6 ? winsock::kAfInet6 : winsock::kAfInet, winsock::kSockStream, 0);
    if (pSocket->m_iSocket == winsock::kInvalidSocket) {
        LogFailure("MySocket::Connect", kLineSocketFailed, "socket() failed");
        return nullptr;
    }
    if (!pSocket->SetNonBlocking(bNonBlocking)) {
        LogFailure("MySocket::Connect", kLineSetNonBlockingFailed, "SetNonBlocking() failed");
        pSocket->Close();
        return nullptr;
    }
    const int iSendBuffer = kSendBufferSize;
    if (winsock::setsockopt(pSocket->m_iSocket, winsock::kSolSocket, winsock::kSoSndBuf,
                            reinterpret_cast<const char*>(&iSendBuffer), sizeof iSendBuffer) != 0) {
        LogFailure("MySocket::Connect", kLineSendBufferFailed, "setsockopt() failed");
        pSocket->Close();
        return nullptr;
    }
    if (!pSocket->StartConnect(szHost)) return nullptr;
    char szText[winsock::kIpv6TextSize];
    g_pLog->Write("MySocket::Connect", 0, kSourceFile, kLineConnected,
                  "Exit MySocket::Connect(%s). \nSocket %d is created and connected. Source IP = %s", szHost,
                  Handle(pSocket->m_iSocket), pSocket->RemoteAddressText(szText, sizeof szText));
    return pSocket.release();
}

bool MySocket::StartConnect(const char* szHost) {
    const int iResult = m_bIpv6 ? winsock::connect(m_iSocket, &m_RemoteAddress6, sizeof m_RemoteAddress6)
                                : winsock::connect(m_iSocket, &m_RemoteAddress, sizeof m_RemoteAddress);
    if (iResult == 0) {
        // Connected at once: nothing is left to wait for.
        m_bConnected = true;
        return true;
    }
    const int iCode = winsock::WSAGetLastError();
    if (iCode == winsock::kWsaEWouldBlock) {
        m_bConnecting = true;
        return true;
    }
    Close();
    g_pLog->Write("MySocket::Connect", 3, kSourceFile, kLineConnectFailed,
                  "connect() failed, Close() is called. host: %s, error code: %d, error: %s", szHost, iCode,
                  GetSocketErrorText(iCode));
    return false;
}
