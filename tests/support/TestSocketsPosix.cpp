// POSIX: the server-side socket calls of TestSockets.h and the seam's
// socket pair (seam::MakeSocketPair, declared in support/TestSeam.h).
#include "support/TestSockets.h"

#include "platform/NativeTypes.h"
#include "support/NativeAddress.h"
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

}  // namespace

int bind(SOCKET s, const SockAddrIn* pAddress, int /*iAddressLength*/) {
    const sockaddr_in address = native::ToNative<sockaddr_in>(*pAddress, AF_INET);
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
    testsockets::GiveAddress(address, pAddress, piAddressLength);
    return static_cast<SOCKET>(iFd);
}

int getsockname(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    sockaddr_in address{};
    socklen_t iLength = sizeof address;
    if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&address), &iLength) != 0) return FailWithErrno();
    testsockets::GiveAddress(address, pAddress, piAddressLength);
    return 0;
}

int SetLinger(SOCKET s, const LingerOption* pOption) {
    const linger value = testsockets::ToNativeLinger<linger>(*pOption);
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
