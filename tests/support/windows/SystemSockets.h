// Windows: what TestSockets.cpp needs of the system, in its terms. Included
// by TestSockets.cpp alone; CMake puts this folder or posix/ on its
// include path.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace systemsockets {

using Socket = ::SOCKET;
using AddressLength = int;
constexpr Socket kInvalid = INVALID_SOCKET;

inline Socket Native(winsock::SOCKET s) { return static_cast<Socket>(s); }

// Takes the system's code at once, before anything can overwrite it.
inline int FailFromSystem() {
    winsock::WSASetLastError(::WSAGetLastError());
    return winsock::kSocketError;
}

// accept(), the new socket kept from child processes: a program the test
// starts must not hold a copy of the connection.
inline Socket AcceptUninherited(Socket s, sockaddr* pAddress, AddressLength* pLength) {
    const Socket accepted = ::accept(s, pAddress, pLength);
    if (accepted != INVALID_SOCKET) {
        ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    }
    return accepted;
}

// Windows has no socketpair(): connect two loopback sockets through a
// listener that is closed again at once.
inline bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond) {
    const ::SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int iLength = sizeof address;
    ::SOCKET first = INVALID_SOCKET;
    ::SOCKET second = INVALID_SOCKET;
    if (listener != INVALID_SOCKET && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(listener, 1) == 0 && ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &iLength) == 0) {
        first = ::socket(AF_INET, SOCK_STREAM, 0);
        if (first != INVALID_SOCKET && ::connect(first, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            second = ::accept(listener, nullptr, nullptr);
        }
    }
    if (listener != INVALID_SOCKET) ::closesocket(listener);
    if (second == INVALID_SOCKET) {
        if (first != INVALID_SOCKET) ::closesocket(first);
        return false;
    }
    *pFirst = static_cast<std::uintptr_t>(first);
    *pSecond = static_cast<std::uintptr_t>(second);
    return true;
}

}  // namespace systemsockets
