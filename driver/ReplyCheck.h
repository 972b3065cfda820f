// Reading the few header facts the driver needs to judge a reply: the
// status code and the declared body length.
#pragma once

#include <cstdint>

// The status code of the reply's status line ("HTTP/x.y NNN ..."), or -1
// when the data does not begin with a status line.
int ReplyStatusCode(const char* pData, std::int32_t iDataLength);

// The value of the first Content-Length field among the header's bytes
// (pData[0 .. iHeaderLength)). False when there is none or it is not a
// decimal number; a value too large to hold saturates.
bool DeclaredContentLength(const char* pData, std::int32_t iHeaderLength, std::int64_t* piLength);
