// POSIX: what TestSockets.cpp needs of the system, in its terms. Included
// by TestSockets.cpp alone; CMake puts this folder or windows/ on its
// include path.
#pragma once

#include "platform/Platform.h"

#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace systemsockets {

using Socket = int;
using AddressLength = socklen_t;
constexpr Socket kInvalid = -1;

inline Socket Native(winsock::SOCKET s) { return static_cast<Socket>(s); }

// Takes the system's code at once, before anything can overwrite it.
inline int FailFromSystem() {
    winsock::WSASetLastError(errno);
    return winsock::kSocketError;
}

// accept(), the new socket kept from child processes.
inline Socket AcceptUninherited(Socket s, sockaddr* pAddress, AddressLength* pLength) {
    return ::accept4(s, pAddress, pLength, SOCK_CLOEXEC);
}

inline bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond) {
    int aFds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aFds) != 0) return false;
    *pFirst = static_cast<std::uintptr_t>(aFds[0]);
    *pSecond = static_cast<std::uintptr_t>(aFds[1]);
    return true;
}

}  // namespace systemsockets
