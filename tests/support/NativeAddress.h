// Internal to TestSockets*.cpp: the system's structures of the server-side
// calls, to and from ours, written once for both systems as
// platform/NativeTypes.h does for the product's (templates, so that no
// system header is needed here).
#pragma once

#include "support/TestSockets.h"

#include <cstring>

namespace testsockets {

// Hands what the system wrote into a sockaddr_in (accept(), getsockname())
// back as our SockAddrIn and its length, to whichever the caller asked for.
template <typename SystemSockAddrIn>
void GiveAddress(const SystemSockAddrIn& native, winsock::SockAddrIn* pAddress, int* piAddressLength) {
    if (pAddress != nullptr) {
        *pAddress = winsock::SockAddrIn{};
        pAddress->sin_family = static_cast<std::uint16_t>(winsock::kAfInet);
        pAddress->sin_port = native.sin_port;
        std::memcpy(&pAddress->sin_addr, &native.sin_addr, sizeof pAddress->sin_addr);
    }
    if (piAddressLength != nullptr) *piAddressLength = static_cast<int>(sizeof(winsock::SockAddrIn));
}

// The system's linger for our LingerOption.
template <typename SystemLinger>
SystemLinger ToNativeLinger(const winsock::LingerOption& option) {
    SystemLinger value{};
    value.l_onoff = option.l_onoff;
    value.l_linger = option.l_linger;
    return value;
}

}  // namespace testsockets
