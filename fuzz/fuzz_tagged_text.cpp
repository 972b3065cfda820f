// Tagged text from a configuration file anyone can edit or from a server's
// reply: the value copies never write past their destination, copy exactly
// the bytes between the tags, and the byte search finds what a plain search
// finds.
//
// Input: destination size (2 bytes), opening and closing tag lengths,
// search pattern control (2 bytes), the two tags, then the text.
#include "driver/TaggedText.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr unsigned char kCanary = 0xA5;

void Require(bool bHolds, const char* szWhat) {
    if (bHolds) return;
    std::fprintf(stderr, "property violated: %s\n", szWhat);
    std::abort();
}

// Where the value between the tags lies in the text, if anywhere.
bool ReferenceValue(const std::string& text, const std::string& open, const std::string& close, std::size_t* puStart,
                    std::size_t* puLength) {
    const std::size_t uOpen = text.find(open);
    const std::size_t uClose = text.find(close);
    if (uOpen == std::string::npos || uClose == std::string::npos) return false;
    const std::size_t uValue = uOpen + open.size();
    if (uClose < uValue) return false;
    *puStart = uValue;
    *puLength = uClose - uValue;
    return true;
}

std::int32_t ReferenceFind(const unsigned char* pPattern, std::int32_t iPatternLength, const unsigned char* pBuffer,
                           std::int32_t iBufferLength) {
    if (iPatternLength <= 0) return -1;
    for (std::int32_t i = 0; i + iPatternLength <= iBufferLength; ++i) {
        if (std::memcmp(pBuffer + i, pPattern, static_cast<std::size_t>(iPatternLength)) == 0) return i;
    }
    return -1;
}

// A destination of exactly uSize heap bytes, all canary, so that ASan sees
// a write past it and a comparison sees a write into it.
std::unique_ptr<unsigned char[]> CanaryBuffer(std::size_t uSize) {
    std::unique_ptr<unsigned char[]> p(new unsigned char[uSize]);
    std::memset(p.get(), kCanary, uSize);
    return p;
}

bool AllCanary(const unsigned char* p, std::size_t uFrom, std::size_t uTo) {
    for (std::size_t i = uFrom; i < uTo; ++i) {
        if (p[i] != kCanary) return false;
    }
    return true;
}

void CheckCopy(const std::string& text, const std::string& open, const std::string& close, std::size_t uDestSize,
               bool bCut) {
    std::size_t uStart = 0, uLength = 0;
    const bool bFound = ReferenceValue(text, open, close, &uStart, &uLength);
    auto dest = CanaryBuffer(uDestSize);
    char* szDest = reinterpret_cast<char*>(dest.get());
    const bool bOk = bCut ? ExtractTagValueCut(text.c_str(), open.c_str(), close.c_str(), szDest, uDestSize)
                          : ExtractTagValue(text.c_str(), open.c_str(), close.c_str(), szDest, uDestSize);
    if (!bOk) {
        Require(AllCanary(dest.get(), 0, uDestSize), "a false result writes nothing");
        Require(!bFound || uDestSize == 0 || (!bCut && uLength >= uDestSize),
                "false only for missing tags or a value that does not fit");
        return;
    }
    Require(bFound, "true only when both tags are there in order");
    const std::size_t uCopied = bCut && uLength >= uDestSize ? uDestSize - 1 : uLength;
    Require(uCopied < uDestSize, "the value and its NUL fit the destination");
    Require(std::memcmp(szDest, text.data() + uStart, uCopied) == 0, "the value is the bytes between the tags");
    Require(szDest[uCopied] == '\0', "the value is NUL-terminated");
    Require(AllCanary(dest.get(), uCopied + 1, uDestSize), "nothing is written after the NUL");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t uSize) {
    if (uSize < 6) return 0;
    const std::size_t uDestSize = (pData[0] | (pData[1] << 8)) % 1024;
    std::size_t uOpenLength = pData[2] % 24;
    std::size_t uCloseLength = pData[3] % 24;
    const std::uint8_t uPatternControl = pData[4];
    const std::uint8_t uPatternOffset = pData[5];
    const char* p = reinterpret_cast<const char*>(pData) + 6;
    std::size_t uLeft = uSize - 6;
    if (uOpenLength > uLeft) uOpenLength = uLeft;
    const std::string openBytes(p, uOpenLength);
    p += uOpenLength;
    uLeft -= uOpenLength;
    if (uCloseLength > uLeft) uCloseLength = uLeft;
    const std::string closeBytes(p, uCloseLength);
    p += uCloseLength;
    uLeft -= uCloseLength;
    const std::string textBytes(p, uLeft);

    // The copies work on NUL-terminated text: each ends at its first NUL.
    const std::string open(openBytes.c_str());
    const std::string close(closeBytes.c_str());
    const std::string text(textBytes.c_str());
    CheckCopy(text, open, close, uDestSize, false);
    CheckCopy(text, open, close, uDestSize, true);
    char szUnused[4] = "abc";
    Require(!ExtractTagValue(nullptr, open.c_str(), close.c_str(), szUnused, sizeof szUnused),
            "a null text is refused");
    Require(!ExtractTagValue(text.c_str(), open.c_str(), close.c_str(), nullptr, 16), "a null destination is refused");
    Require(std::strcmp(szUnused, "abc") == 0, "a refused copy writes nothing");

    // The byte search sees every byte, NUL included, in exact-size copies.
    const std::int32_t iBufferLength = static_cast<std::int32_t>(textBytes.size());
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[textBytes.size()]);
    std::memcpy(buffer.get(), textBytes.data(), textBytes.size());
    // A piece of the buffer itself makes a likely match; otherwise the tag
    // bytes; a negative length must find nothing.
    std::string pattern = openBytes + closeBytes;
    if ((uPatternControl & 1) != 0 && !textBytes.empty()) {
        const std::size_t uFrom = uPatternOffset % textBytes.size();
        pattern = textBytes.substr(uFrom, (uPatternControl >> 1) % 17);
    }
    std::unique_ptr<unsigned char[]> patternCopy(new unsigned char[pattern.size()]);
    std::memcpy(patternCopy.get(), pattern.data(), pattern.size());
    std::int32_t iPatternLength = static_cast<std::int32_t>(pattern.size());
    if ((uPatternControl & 0x80) != 0 && (uPatternControl & 1) == 0) iPatternLength = -iPatternLength;
    const std::int32_t iFound = FindBytes(patternCopy.get(), iPatternLength, buffer.get(), iBufferLength);
    Require(iFound == ReferenceFind(patternCopy.get(), iPatternLength, buffer.get(), iBufferLength),
            "FindBytes finds what a plain search finds");
    Require(FindBytes(buffer.get(), iBufferLength, buffer.get(), iBufferLength) == (iBufferLength > 0 ? 0 : -1),
            "a buffer is found in itself at 0");
    return 0;
}
