// The server-side socket calls of TestSockets.h and the seam's socket pair
// (seam::MakeSocketPair, declared in support/TestSeam.h), written once over
// the system's calls that SystemSockets.h (posix/ or windows/) gives.
#include "support/TestSockets.h"

#include "SystemSockets.h"
#include "platform/NativeTypes.h"
#include "support/TestSeam.h"

#include <cstring>

namespace winsock {
namespace {

using systemsockets::FailFromSystem;
using systemsockets::Native;

// Hands what the system wrote into a sockaddr_in (accept(), getsockname())
// back as our SockAddrIn and its length, to whichever the caller asked for.
void GiveAddress(const sockaddr_in& native, SockAddrIn* pAddress, int* piAddressLength) {
    if (pAddress != nullptr) {
        *pAddress = SockAddrIn{};
        pAddress->sin_family = static_cast<std::uint16_t>(kAfInet);
        pAddress->sin_port = native.sin_port;
        std::memcpy(&pAddress->sin_addr, &native.sin_addr, sizeof pAddress->sin_addr);
    }
    if (piAddressLength != nullptr) *piAddressLength = static_cast<int>(sizeof(SockAddrIn));
}

}  // namespace

int bind(SOCKET s, const SockAddrIn* pAddress, int /*iAddressLength*/) {
    const sockaddr_in address = native::ToNative<sockaddr_in>(*pAddress, AF_INET);
    return ::bind(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : FailFromSystem();
}

int bind(SOCKET s, const SockAddrIn6* pAddress, int /*iAddressLength*/) {
    const sockaddr_in6 address = native::ToNative6<sockaddr_in6>(*pAddress, AF_INET6);
    return ::bind(Native(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : FailFromSystem();
}

int listen(SOCKET s, int iBacklog) { return ::listen(Native(s), iBacklog) == 0 ? 0 : FailFromSystem(); }

SOCKET accept(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    // Room for an IPv6 peer too: Winsock fails the call rather than cut an
    // address to a smaller buffer.
    sockaddr_in6 peer{};
    systemsockets::AddressLength iLength = sizeof peer;
    const systemsockets::Socket accepted =
        systemsockets::AcceptUninherited(Native(s), reinterpret_cast<sockaddr*>(&peer), &iLength);
    if (accepted == systemsockets::kInvalid) {
        FailFromSystem();
        return kInvalidSocket;
    }
    sockaddr_in address{};
    if (peer.sin6_family == AF_INET) std::memcpy(&address, &peer, sizeof address);
    GiveAddress(address, pAddress, piAddressLength);
    return static_cast<SOCKET>(accepted);
}

int getsockname(SOCKET s, SockAddrIn* pAddress, int* piAddressLength) {
    sockaddr_in address{};
    systemsockets::AddressLength iLength = sizeof address;
    if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&address), &iLength) != 0) return FailFromSystem();
    GiveAddress(address, pAddress, piAddressLength);
    return 0;
}

int BoundPort(SOCKET s) {
    sockaddr_in6 address{};  // the larger: an IPv4 address fits, its port at the same place
    systemsockets::AddressLength iLength = sizeof address;
    if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&address), &iLength) != 0) return 0;
    return ntohs(address.sin6_port);
}

int SetLinger(SOCKET s, const LingerOption* pOption) {
    linger value{};
    value.l_onoff = pOption->l_onoff;
    value.l_linger = pOption->l_linger;
    const char* pValue = reinterpret_cast<const char*>(&value);
    return ::setsockopt(Native(s), SOL_SOCKET, SO_LINGER, pValue, sizeof value) == 0 ? 0 : FailFromSystem();
}

}  // namespace winsock

namespace seam {

bool MakeSocketPair(std::uintptr_t* pFirst, std::uintptr_t* pSecond) {
    return systemsockets::MakeSocketPair(pFirst, pSecond);
}

}  // namespace seam
