// The Winsock-shaped descriptor set: plain data, the same on every system.
#include "Platform.h"

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

}  // namespace winsock
