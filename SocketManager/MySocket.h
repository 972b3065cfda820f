// One TCP client socket, IPv4 or IPv6.
#pragma once

#include "platform/Platform.h"

#include <cstdint>

class MySocket {
public:
    // Creates a socket for szHost (dotted text, IPv6 text or a name) and
    // iPort, sets
    // the mode and a 128000-byte send buffer, and starts connecting. In
    // non-blocking mode it returns while the connection is under way
    // (m_bConnecting set). Returns an object the caller owns (Close it,
    // then delete it), or null after logging the failure; a failed Connect
    // leaves no socket open.
    static MySocket* Connect(const char* szHost, std::int32_t iPort, bool bNonBlocking);

    MySocket();

    // Fills *pAddress for szHost and iPort (INADDR_ANY for a null host).
    // False, logged, when the host has no address.
    bool SetAddress(const char* szHost, std::int32_t iPort, winsock::SockAddrIn* pAddress);
    // Switches m_iSocket to non-blocking (true) or blocking mode. False, logged, on failure.
    bool SetNonBlocking(bool bNonBlocking);
    // Shuts down the sending side of a connected socket, drains up to 128
    // bytes, and releases the handle. Logs each outcome; never fails visibly.
    // A listening socket is left open.
    void Close();

    winsock::SOCKET m_iSocket;
    bool m_bListening;
    bool m_bConnecting;
    bool m_bConnected;
    std::int32_t m_iListenPort;
    winsock::SockAddrIn m_RemoteAddress;
    bool m_bIpv6;  // connected through m_RemoteAddress6 instead
    winsock::SockAddrIn6 m_RemoteAddress6;

private:
    // Fills m_RemoteAddress6 when szHost is IPv6 text (true), for iPort.
    bool SetIpv6Address(const char* szHost, std::int32_t iPort);
    // The remote address as text: dotted, or IPv6 in its usual form.
    const char* RemoteAddressText(char* szBuffer, std::size_t uSize) const;
    // Calls connect(); true when connected or under way, else closes the
    // socket, logs and returns false.
    bool StartConnect(const char* szHost);
};
