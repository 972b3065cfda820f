// Internal to the platform layer: the layout in which LookupServiceNext
// hands a name-service answer to the caller, on every system.
//
//   uint32 count, then per address: uint32 length, the address bytes,
//   padded to a multiple of 4.
#pragma once

#include <cstdint>
#include <vector>

namespace nameanswer {

using Address = std::vector<unsigned char>;

// Writes the addresses into pBuffer. False when they do not fit.
bool Write(const std::vector<Address>& addresses, void* pBuffer, std::uint32_t uBufferLength);
std::uint32_t Count(const void* pAnswer);
bool At(const void* pAnswer, std::uint32_t uIndex, const void** ppAddress, int* piLength);

}  // namespace nameanswer
