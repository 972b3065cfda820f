// Reading the few header facts the driver needs to judge a reply: the
// status code, the declared body length and any transfer coding.
#pragma once

#include <cstdint>

// The status code of the reply's status line ("HTTP/x.y NNN ..."): -1 when
// the data does not begin with "HTTP/" (there is no status line), 0 when it
// does but holds no three-digit code.
int ReplyStatusCode(const char* pData, std::int32_t iDataLength);

enum class DeclaredLength { None, Valid, Unreadable };

// Reads the first Content-Length field among the header's bytes
// (pData[0 .. iHeaderLength)): Valid, with the value in *piLength (a value
// too large to hold saturates); None when there is no such field;
// Unreadable when its value is not a plain decimal number.
DeclaredLength DeclaredContentLength(const char* pData, std::int32_t iHeaderLength, std::int64_t* piLength);

// Whether the header's bytes (pData[0 .. iHeaderLength)) carry a
// Transfer-Encoding field (the first one decides) with any value but
// "identity": chunked or otherwise coded, the body is not the file itself.
bool HasTransferCoding(const char* pData, std::int32_t iHeaderLength);
