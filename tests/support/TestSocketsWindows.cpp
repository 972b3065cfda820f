// Windows: the server-side socket calls of TestSockets.h and the seam's
// socket pair (seam::MakeSocketPair, declared in support/TestSeam.h).
#include "support/TestSockets.h"

#include "platform/NativeTypes.h"
#include "support/NativeAddress.h"
#include "support/TestSeam.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace winsock {
namespace {

::SOCKET Native(SOCKET s) { return static_cast<::SOCKET>(s); }

// Takes the system's code at once, before anything can overwrite it.
int FailFromSystem() {
    WSASetLastError(::WSAGetLastError());
    return kSocketError;
}

}  // namespace

int bind(SOCKET s, const SockAddrIn* pAddress, int /*iAddressLength*/) {
    const sockaddr_in address = native::ToNative<sockaddr_in>(*pAddress, AF_INET);
    return ::bind(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : FailFromSystem();
}

int listen(SOCKET s, int iBacklog) { return ::listen(Native(s), iBacklog) == 0 ? 0 : FailFromSystem(); }

SOCKET accept(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    sockaddr_in address{};
    int iLength = sizeof address;
    const ::SOCKET accepted = ::accept(Native(s), reinterpret_cast<sockaddr*>(&address), &iLength);
    if (accepted == INVALID_SOCKET) {
        FailFromSystem();
        return kInvalidSocket;
    }
    // A program the test starts must not hold a copy of the connection.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    testsockets::GiveAddress(address, pAddress, piAddressLength);
    return static_cast<SOCKET>(accepted);
}

int getsockname(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    sockaddr_in address{};
    int iLength = sizeof address;
    if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&address), &iLength) != 0) return FailFromSystem();
    testsockets::GiveAddress(address, pAddress, piAddressLength);
    return 0;
}

int SetLinger(SOCKET s, const LingerOption* pOption) {
    const linger value = testsockets::ToNativeLinger<linger>(*pOption);
    return ::setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value) == 0
               ? 0
               : FailFromSystem();
}

}  // namespace winsock

namespace seam {

// Windows has no socketpair(): connect two loopback sockets through a
// listener that is closed again at once.
bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond) {
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

}  // namespace seam
