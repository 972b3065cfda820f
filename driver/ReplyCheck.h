// Reading the few header facts the driver needs to judge a reply: the
// status code, the declared body length, any transfer or content coding,
// and the size an SQLite database's own header declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The status code of the reply's status line ("HTTP/x.y NNN ..."), read
// after any leading spaces, tabs, CRs and LFs and without regard to the
// case of "HTTP/": -1 when there is no status line, 0 when there is one
// that holds no three-digit code.
int ReplyStatusCode(const char* pData, std::int32_t iDataLength);

enum class DeclaredLength { None, Valid, Unreadable, Conflicting };

// Reads the Content-Length fields among the header's bytes
// (pData[0 .. iHeaderLength)): Valid, with the value in *piLength (a value
// too large to hold saturates), when every such field holds the same plain
// decimal number; None when there is none; Unreadable when one is not a
// plain decimal number or has white space before its colon; Conflicting
// when two hold different numbers.
DeclaredLength DeclaredContentLength(const char* pData, std::int32_t iHeaderLength, std::int64_t* piLength);

// Whether the header's bytes (pData[0 .. iHeaderLength)) carry a
// Transfer-Encoding field with any value but "identity": chunked or
// otherwise coded, the body is not the file itself.
bool HasTransferCoding(const char* pData, std::int32_t iHeaderLength);
// The same for Content-Encoding: a gzip or other coded body is not the file.
bool HasContentCoding(const char* pData, std::int32_t iHeaderLength);

// The media type of the first Content-Type field among the header's bytes
// (pData[0 .. iHeaderLength)) when it names a web page ("text/html" or
// "application/xhtml+xml", in any letter case, parameters aside), in lower
// case; "" otherwise.
const char* WebPageType(const char* pData, std::int32_t iHeaderLength);

// The most bytes after a body's leading white space that BeginsAsWebPage reads.
constexpr std::size_t kWebPageLeadSize = 14;
// Whether a body's first bytes after its leading white space (space, tab,
// CR, LF, FF) begin with "<!DOCTYPE html" or "<html", in any letter case.
bool BeginsAsWebPage(const std::string& lead);

// How much of the body to read, judged from the header's bytes
// (pData[0 .. iHeaderLength)) alone: 0 when the header already refuses the
// reply whatever its body holds (a transfer or content coding, an
// unreadable or conflicting Content-Length); the declared length when
// there is one; -1 (until the connection ends) otherwise. A reply with an
// error status is read like any other: its body may be a failure reply,
// whose reason the run shows.
std::int64_t BodyLengthToRead(const char* pData, std::int32_t iHeaderLength);

// The value of the first Location field, blanks and CR trimmed, or "".
std::string LocationField(const char* pData, std::int32_t iHeaderLength);

// The bytes of the SQLite file header that the size check reads.
constexpr std::size_t kSqliteHeaderSize = 100;

// The length of the database file whose first uLength bytes are pStart,
// when they are an SQLite file header that declares it: the page count
// (offset 28) times the page size (offset 16; 1 means 65536), valid only
// when the page count is not 0, the page size is one SQLite uses, and the
// version-valid-for number (offset 92) equals the change counter (offset
// 24). False when the bytes are not such a header, or are fewer than
// kSqliteHeaderSize.
bool DeclaredDatabaseSize(const char* pStart, std::size_t uLength, std::int64_t* piSize);
