// Tagged text: a value named N stands between "<__N__>" and "</__N__>".
// Used by the configuration file and by the backup service's replies.
#pragma once

#include <cstddef>
#include <cstdint>

// Copies the value between the first szOpenTag and the first szCloseTag of
// szText (both searched from the start of the text, which ends at its first
// NUL) into szDest, a buffer of uDestSize bytes, and NUL-terminates it.
// False, with szDest unchanged, when an argument is null, a tag is missing,
// the closing tag starts before the value, or the value and its NUL do not
// fit in uDestSize bytes.
bool ExtractTagValue(const char* szText, const char* szOpenTag, const char* szCloseTag, char* szDest,
                     std::size_t uDestSize);

// As ExtractTagValue, but a value that does not fit is cut to the first
// uDestSize - 1 bytes instead of being refused.
bool ExtractTagValueCut(const char* szText, const char* szOpenTag, const char* szCloseTag, char* szDest,
                        std::size_t uDestSize);

// Index of the first occurrence of the iPatternLength bytes of pPattern in
// the iBufferLength bytes of pBuffer, or -1. Every byte value, NUL included,
// is ordinary; a pattern of length 0 (or a negative length) is never found.
std::int32_t FindBytes(const void* pPattern, std::int32_t iPatternLength, const void* pBuffer,
                       std::int32_t iBufferLength);
