// Test support: the server side of sockets, which only the tests' scripted
// server needs, and the socket pair of the test seam. TestSockets.cpp
// implements them for both systems over support/posix/SystemSockets.h or
// support/windows/SystemSockets.h, which CMake chooses as for platform/;
// the product never contains them.
//
// The calls take and give the handles and structures of platform/Platform.h
// and follow its conventions: 0 or a handle on success, kSocketError or
// kInvalidSocket on failure. On failure WSAGetLastError() holds the
// system's code (Winsock's on Windows, errno on POSIX); the tests need only
// success or failure.
#pragma once

#include "platform/Platform.h"

#include <cstdint>

namespace winsock {

constexpr int kSoLinger = 0x0080;  // SO_LINGER; option value: LingerOption
struct LingerOption {
    std::uint16_t l_onoff;
    std::uint16_t l_linger;
};

int bind(SOCKET s, const SockAddrIn* pAddress, int iAddressLength);
int bind(SOCKET s, const SockAddrIn6* pAddress, int iAddressLength);
int listen(SOCKET s, int iBacklog);
// The accepted socket is not inherited by child processes. pAddress and
// piAddressLength may be null.
SOCKET accept(SOCKET s, SockAddrIn* pAddress, int* piAddressLength);
// piAddressLength may be null.
int getsockname(SOCKET s, SockAddrIn* pAddress, int* piAddressLength);
// The port (host order) a socket of either family is bound to; 0 on failure.
int BoundPort(SOCKET s);
// Sets SO_LINGER (l_onoff 1, l_linger 0 makes closesocket reset the connection).
int SetLinger(SOCKET s, const LingerOption* pOption);

}  // namespace winsock
