#include "NameAnswer.h"

#include <cstring>

namespace nameanswer {
namespace {

std::uint32_t Padded(std::uint32_t uLength) { return (uLength + 3u) & ~3u; }

std::uint32_t ReadU32(const unsigned char* p) {
    std::uint32_t uValue;
    std::memcpy(&uValue, p, sizeof uValue);
    return uValue;
}

}  // namespace

bool Write(const std::vector<Address>& addresses, void* pBuffer, std::uint32_t uBufferLength) {
    std::uint64_t uNeeded = 4;
    for (const Address& address : addresses) uNeeded += 4 + Padded(static_cast<std::uint32_t>(address.size()));
    if (pBuffer == nullptr || uNeeded > uBufferLength) return false;
    unsigned char* p = static_cast<unsigned char*>(pBuffer);
    const std::uint32_t uCount = static_cast<std::uint32_t>(addresses.size());
    std::memcpy(p, &uCount, 4);
    p += 4;
    for (const Address& address : addresses) {
        const std::uint32_t uLength = static_cast<std::uint32_t>(address.size());
        std::memcpy(p, &uLength, 4);
        std::memset(p + 4, 0, Padded(uLength));
        if (uLength > 0) std::memcpy(p + 4, address.data(), uLength);
        p += 4 + Padded(uLength);
    }
    return true;
}

std::uint32_t Count(const void* pAnswer) {
    return pAnswer == nullptr ? 0 : ReadU32(static_cast<const unsigned char*>(pAnswer));
}

bool At(const void* pAnswer, std::uint32_t uIndex, const void** ppAddress, int* piLength) {
    if (uIndex >= Count(pAnswer)) return false;
    const unsigned char* p = static_cast<const unsigned char*>(pAnswer) + 4;
    for (std::uint32_t i = 0; i < uIndex; ++i) p += 4 + Padded(ReadU32(p));
    *ppAddress = p + 4;
    *piLength = static_cast<int>(ReadU32(p));
    return true;
}

}  // namespace nameanswer
