// POSIX: the server-side socket calls of TestSockets.h and the seam's
// socket pair (seam::MakeSocketPair, declared in support/TestSeam.h).
#include "support/TestSockets.h"

#include "support/TestSeam.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace winsock {
namespace {

int Fd(SOCKET s) { return static_cast<int>(s); }

int FailWithErrno() {
    WSASetLastError(errno);
    return kSocketError;
}

sockaddr_in ToNative(const SockAddrIn& address) {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = address.sin_port;
    native.sin_addr.s_addr = address.sin_addr;
    return native;
}

SockAddrIn FromNative(const sockaddr_in& native) {
    SockAddrIn address{};
    address.sin_family = static_cast<std::uint16_t>(kAfInet);
    address.sin_port = native.sin_port;
    address.sin_addr = native.sin_addr.s_addr;
    return address;
}

}  // namespace

int bind(SOCKET s, const SockAddrIn* pAddress, int /*iAddressLength*/) {
    const sockaddr_in address = ToNative(*pAddress);
    return ::bind(Fd(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : FailWithErrno();
}

int listen(SOCKET s, int iBacklog) { return ::listen(Fd(s), iBacklog) == 0 ? 0 : FailWithErrno(); }

SOCKET accept(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    sockaddr_in address{};
    socklen_t iLength = sizeof address;
    const int iFd = ::accept4(Fd(s), reinterpret_cast<sockaddr*>(&address), &iLength, SOCK_CLOEXEC);
    if (iFd < 0) {
        FailWithErrno();
        return kInvalidSocket;
    }
    if (pAddress != nullptr) *pAddress = FromNative(address);
    if (piAddressLength != nullptr) *piAddressLength = static_cast<int>(sizeof(SockAddrIn));
    return static_cast<SOCKET>(iFd);
}

int getsockname(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    sockaddr_in address{};
    socklen_t iLength = sizeof address;
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &iLength) != 0) return FailWithErrno();
    *pAddress = FromNative(address);
    if (piAddressLength != nullptr) *piAddressLength = static_cast<int>(sizeof(SockAddrIn));
    return 0;
}

int SetLinger(SOCKET s, const LingerOption* pOption) {
    linger value{};
    value.l_onoff = pOption->l_onoff;
    value.l_linger = pOption->l_linger;
    return ::setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 ? 0 : FailWithErrno();
}

}  // namespace winsock

namespace seam {

bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond) {
    int aFds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, aFds) != 0) return false;
    *pFirst = static_cast<std::uintptr_t>(aFds[0]);
    *pSecond = static_cast<std::uintptr_t>(aFds[1]);
    return true;
}

}  // namespace seam
