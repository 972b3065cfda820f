// Internal to the platform layer: copies a system host database answer into
// the HostEnt that Dorvane reads, on every system.
#pragma once

#include "Platform.h"

#include <cstring>

namespace hostentry {

// Keeps the IPv4 addresses of the system's answer (up to 16) in storage of
// the calling thread and returns them as a HostEnt, valid until the next
// look-up on this thread. An answer of another family lists no address.
template <typename SystemHostEnt>
winsock::HostEnt* Keep(const SystemHostEnt& entry, int iSystemAfInet) {
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

}  // namespace hostentry
