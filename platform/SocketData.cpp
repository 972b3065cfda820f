// The plain data of the socket contract, the same on every system: the
// Winsock-shaped descriptor set, byte order and dotted address text.
#include "Platform.h"

#include <cstdio>
#include <cstring>

namespace winsock {

void FdZero(FdSet* pSet) { pSet->fd_count = 0; }

void FdAdd(SOCKET s, FdSet* pSet) {
    if (FdIsSet(s, pSet) || pSet->fd_count >= kFdSetSize) return;
    pSet->fd_array[pSet->fd_count++] = s;
}

bool FdIsSet(SOCKET s, const FdSet* pSet) {
    for (unsigned i = 0; i < pSet->fd_count && i < kFdSetSize; ++i) {
        if (pSet->fd_array[i] == s) return true;
    }
    return false;
}

char* inet_ntoa(std::uint32_t uAddress) {
    thread_local char t_szText[16];
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&uAddress);
    std::snprintf(t_szText, sizeof t_szText, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
    return t_szText;
}

// Network order is the most significant byte first, whatever the host's.
std::uint16_t HostToNetShort(std::uint16_t uValue) {
    const unsigned char aBytes[2] = {static_cast<unsigned char>(uValue >> 8), static_cast<unsigned char>(uValue)};
    std::uint16_t uNet;
    std::memcpy(&uNet, aBytes, sizeof uNet);
    return uNet;
}

std::uint32_t HostToNetLong(std::uint32_t uValue) {
    const unsigned char aBytes[4] = {static_cast<unsigned char>(uValue >> 24), static_cast<unsigned char>(uValue >> 16),
                                     static_cast<unsigned char>(uValue >> 8), static_cast<unsigned char>(uValue)};
    std::uint32_t uNet;
    std::memcpy(&uNet, aBytes, sizeof uNet);
    return uNet;
}

}  // namespace winsock
