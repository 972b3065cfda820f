// Message texts for socket error codes.
#pragma once

// The text for a Winsock error code: a fixed text for the 43 common codes,
// otherwise the system's text (UTF-8, one line, no line break at its end;
// empty when the system has none) in one shared 128-byte buffer that the
// next such call overwrites (use it at once). Never null; the caller never
// frees.
const char* GetSocketErrorText(int iErrorCode);
