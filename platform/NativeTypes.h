// Internal to the platform layer and to the tests' side of it: our plain
// structures to the system's and the system's answers to ours, written once
// for every system. The system's types are template parameters and its
// AF_INET an argument, so that this header needs no system header.
#pragma once

#include "Platform.h"

#include <cstring>

namespace native {

// The system's sockaddr_in for our SockAddrIn.
template <typename SystemSockAddrIn>
SystemSockAddrIn ToNative(const winsock::SockAddrIn& address, int iSystemAfInet) {
    SystemSockAddrIn native{};
    native.sin_family = static_cast<decltype(native.sin_family)>(iSystemAfInet);
    native.sin_port = address.sin_port;
    static_assert(sizeof native.sin_addr == sizeof address.sin_addr, "an IPv4 address is 4 bytes");
    std::memcpy(&native.sin_addr, &address.sin_addr, sizeof address.sin_addr);
    return native;
}

// Keeps the IPv4 addresses of the system's host database answer (up to 16)
// in storage of the calling thread and returns them as a HostEnt, valid
// until the next look-up on this thread. An answer of another family lists
// no address.
template <typename SystemHostEnt>
winsock::HostEnt* KeepHostEntry(const SystemHostEnt& entry, int iSystemAfInet) {
    constexpr int kMaxAddresses = 16;
    thread_local char t_aAddresses[kMaxAddresses][4];
    thread_local char* t_apList[kMaxAddresses + 1];
    thread_local winsock::HostEnt t_entry;
    int iCount = 0;
    if (entry.h_addrtype == iSystemAfInet && entry.h_length == 4) {
        for (; entry.h_addr_list[iCount] != nullptr && iCount < kMaxAddresses; ++iCount) {
            std::memcpy(t_aAddresses[iCount], entry.h_addr_list[iCount], 4);
            t_apList[iCount] = t_aAddresses[iCount];
        }
    }
    t_apList[iCount] = nullptr;
    t_entry.h_addrtype = static_cast<short>(winsock::kAfInet);
    t_entry.h_length = 4;
    t_entry.h_addr_list = t_apList;
    return &t_entry;
}

}  // namespace native
