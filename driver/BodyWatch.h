// Watching a reply's body as it streams past in pieces, for what the driver
// needs to judge it once it is complete: whether it holds a text, and the
// value between two tags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Finds the first occurrence of a pattern in a stream of bytes fed in
// pieces of any size, occurrences across piece boundaries included. Every
// byte value is ordinary.
class StreamSearch {
public:
    // REQUIRES: pattern is not empty.
    explicit StreamSearch(const std::string& pattern);
    // The next uLength bytes of the stream.
    void Feed(const char* pBytes, std::size_t uLength);
    // Offset in the stream of the first occurrence, or -1 so far.
    std::int64_t Found() const { return m_iFound; }
    // Bytes fed so far.
    std::int64_t Fed() const { return m_iFed; }

private:
    std::string m_pattern;
    std::boyer_moore_horspool_searcher<const char*> m_searcher;  // over m_pattern
    std::string m_tail;                                          // the last pattern-1 bytes fed, at most
    std::int64_t m_iFed = 0;
    std::int64_t m_iFound = -1;
};

// The value between the first szOpenTag and the first szCloseTag of a text
// that ends at its first NUL, as ExtractTagValueCut reads it, from a stream
// fed in pieces. Holds at most uValueSize - 1 bytes of the value.
class TagValueWatch {
public:
    // REQUIRES: both tags are not empty, uValueSize > 0.
    TagValueWatch(const char* szOpenTag, const char* szCloseTag, std::size_t uValueSize);
    void Feed(const char* pBytes, std::size_t uLength);
    // Copies the value, cut to uDestSize - 1 bytes, NUL-terminated, into
    // szDest. False, with szDest unchanged, when a tag is missing from the
    // text or the closing tag starts before the value.
    bool Value(char* szDest, std::size_t uDestSize) const;
    // True once both tags have arrived, or the text has ended.
    bool Complete() const { return m_bTextEnded || (m_open.Found() >= 0 && m_close.Found() >= 0); }

private:
    StreamSearch m_open;
    StreamSearch m_close;
    std::size_t m_uOpenLength;
    std::size_t m_uValueSize;
    bool m_bTextEnded = false;
    std::string m_value;  // the value's first bytes, at most m_uValueSize - 1
};
