// The record that receives one HTTP reply.
#pragma once

#include <cstdint>

// Allocated with every field zero by the caller, filled by
// HTTPConnection::Download, and freed by the caller: pData with delete[]
// whenever it is not null, whatever the result, then the record.
struct DownloadResult {
    char* pData;               // every received byte, then one spare byte
    std::int32_t iDataLength;  // received bytes, the spare one not counted
    char* pBody;               // into pData: the first byte of the body
    std::int32_t iBodyLength;  // bytes from pBody to the end of the data
    std::int32_t iHeaderEnd;   // where the separator used begins, or -1
};
