// Internal to the platform layer and to the tests' side of it: our plain
// structures to the system's and the system's answers to ours, written once
// for every system. The system's types are template parameters and its
// AF_INET an argument, so that this header needs no system header.
#pragma once

#include "Platform.h"
#include "TestSeam.h"

#include <cstring>
#include <string>
#include <vector>

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

// The system's sockaddr_in6 for our SockAddrIn6.
template <typename SystemSockAddrIn6>
SystemSockAddrIn6 ToNative6(const winsock::SockAddrIn6& address, int iSystemAfInet6) {
    SystemSockAddrIn6 native{};
    native.sin6_family = static_cast<decltype(native.sin6_family)>(iSystemAfInet6);
    native.sin6_port = address.sin6_port;
    native.sin6_flowinfo = address.sin6_flowinfo;
    static_assert(sizeof native.sin6_addr == sizeof address.sin6_addr, "an IPv6 address is 16 bytes");
    std::memcpy(&native.sin6_addr, address.sin6_addr, sizeof address.sin6_addr);
    native.sin6_scope_id = address.sin6_scope_id;
    return native;
}

// Adds a look-up's address text to the list unless it is empty or listed.
inline void AddAddressOnce(const char* szText, std::vector<std::string>* pAddresses) {
    if (szText[0] == '\0') return;
    for (const std::string& szListed : *pAddresses) {
        if (szListed == szText) return;
    }
    pAddresses->push_back(szText);
}

// Empties the list and, when a test scripted the answer (pAnswer not
// null), fills it with the texts of the answer's addresses, socket
// addresses as the system lays them out: IPv4, and IPv6 with Winsock's
// family number on every system; any other family is passed over. Whether
// the answer was scripted.
inline bool ScriptedAddresses(const seam::ScriptedAnswer* pAnswer, std::vector<std::string>* pAddresses) {
    pAddresses->clear();
    if (pAnswer == nullptr) return false;
    for (const seam::ScriptedAddress& address : pAnswer->addresses) {
        std::uint16_t uFamily = 0;
        if (address.bytes.size() < 16) continue;
        std::memcpy(&uFamily, address.bytes.data(), sizeof uFamily);
        if (uFamily == winsock::kAfInet) {
            std::uint32_t uAddress;
            std::memcpy(&uAddress, address.bytes.data() + 4, sizeof uAddress);
            AddAddressOnce(winsock::inet_ntoa(uAddress), pAddresses);
        } else if (uFamily == winsock::kAfInet6 && address.bytes.size() >= 24) {
            char szText[winsock::kIpv6TextSize] = "";
            winsock::FormatIpv6(address.bytes.data() + 8, szText, sizeof szText);
            AddAddressOnce(szText, pAddresses);
        }
    }
    return true;
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
