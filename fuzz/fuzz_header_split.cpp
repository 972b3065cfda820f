// Any bytes as a server's whole reply: the exchange splits header from body
// consistently, and the driver's reply checks (status code, declared
// length) read only the bytes they are given and agree with plain
// reference readings of the header.
#include "ExchangePeer.h"
#include "driver/ReplyCheck.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using fuzzpeer::Require;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// After leading blanks and line ends, "HTTP/" in any case + version token,
// spaces, then exactly three digits; -1 without "HTTP/", 0 when the code
// cannot be read.
int ReferenceStatus(const std::string& reply) {
    const std::size_t uStart = reply.find_first_not_of(" \t\r\n");
    if (uStart == std::string::npos || reply.size() - uStart < 5) return -1;
    const std::string data = reply.substr(uStart);
    for (std::size_t k = 0; k < 5; ++k) {
        if (Lower(data[k]) != "http/"[k]) return -1;
    }
    std::size_t i = data.find_first_of(" \r\n", 5);
    if (i == std::string::npos) return 0;
    i = data.find_first_not_of(' ', i);
    if (i == std::string::npos || i + 3 > data.size()) return 0;
    const std::string code = data.substr(i, 3);
    if (!IsDigit(code[0]) || !IsDigit(code[1]) || !IsDigit(code[2])) return 0;
    if (i + 3 < data.size() && IsDigit(data[i + 3])) return 0;
    return std::stoi(code);
}

// One Content-Length line's value: blanks, digits, then nothing but blanks
// and a carriage return; false when it is not that.
bool ReferenceValue(const std::string& line, std::size_t uFrom, std::int64_t* piValue) {
    std::size_t i = line.find_first_not_of(" \t", uFrom);
    if (i == std::string::npos || !IsDigit(line[i])) return false;
    std::int64_t iValue = 0;
    const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (; i < line.size() && IsDigit(line[i]); ++i) {
        const int iDigit = line[i] - '0';
        iValue = iValue > (kMax - iDigit) / 10 ? kMax : iValue * 10 + iDigit;
    }
    if (line.find_first_not_of(" \t\r", i) != std::string::npos) return false;
    *piValue = iValue;
    return true;
}

// Every header line named Content-Length counts: one with blanks before its
// colon (or blanks and no colon) or an unreadable value makes the length
// unreadable; two different values make it conflicting.
DeclaredLength ReferenceLength(const std::string& header, std::int64_t* piLength) {
    const std::string kName = "content-length";
    DeclaredLength result = DeclaredLength::None;
    std::int64_t iFirst = 0;
    std::size_t uStart = 0;
    while (uStart < header.size()) {
        std::size_t uEnd = header.find('\n', uStart);
        if (uEnd == std::string::npos) uEnd = header.size();
        std::string line = header.substr(uStart, uEnd - uStart);
        uStart = uEnd + 1;
        if (line.size() < kName.size()) continue;
        bool bNamed = true;
        for (std::size_t k = 0; k < kName.size(); ++k) bNamed = bNamed && Lower(line[k]) == kName[k];
        if (!bNamed) continue;
        std::size_t uColon = line.find_first_not_of(" \t", kName.size());
        if (uColon == std::string::npos) uColon = line.size();
        const bool bBlank = uColon != kName.size();
        const bool bColon = uColon < line.size() && line[uColon] == ':';
        if (!bColon && !bBlank) continue;
        std::int64_t iValue = 0;
        if (bBlank || !ReferenceValue(line, uColon + 1, &iValue)) return DeclaredLength::Unreadable;
        if (result == DeclaredLength::None) {
            iFirst = iValue;
            result = DeclaredLength::Valid;
        } else if (iValue != iFirst) {
            result = DeclaredLength::Conflicting;
        }
    }
    if (result == DeclaredLength::Valid) *piLength = iFirst;
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t uSize) {
    if (uSize == 0 || uSize > fuzzpeer::kMaxReply) return 0;
    const std::string reply(reinterpret_cast<const char*>(pData), uSize);
    fuzzpeer::Outcome outcome(0);
    fuzzpeer::RunExchange(reply, fuzzpeer::PeerScript{}, outcome);
    const DownloadResult& r = outcome.result;
    Require(outcome.bOk, "a reply ended by an orderly close is received");
    Require(fuzzpeer::CheckSplit(outcome, reply) == reply, "every byte arrived");

    // The checks get copies of exactly the bytes they may read.
    const std::vector<char> data(r.pData, r.pData + r.iDataLength);
    const int iStatus = ReplyStatusCode(data.data(), static_cast<std::int32_t>(data.size()));
    Require(iStatus == ReferenceStatus(reply.substr(0, data.size())), "the status code reads the status line");

    const std::int32_t iHeaderLength = r.iHeaderEnd;
    std::int64_t iDeclared = -7;
    DeclaredLength declared = DeclaredLength::None;
    if (iHeaderLength > 0) {
        const std::vector<char> header(r.pData, r.pData + iHeaderLength);
        declared = DeclaredContentLength(header.data(), iHeaderLength, &iDeclared);
    } else {
        declared = DeclaredContentLength(r.pData, iHeaderLength, &iDeclared);
    }
    std::int64_t iExpected = -7;
    const DeclaredLength expected =
        iHeaderLength > 0 ? ReferenceLength(reply.substr(0, iHeaderLength), &iExpected) : DeclaredLength::None;
    Require(declared == expected, "a declared length is read exactly when the header has a readable one");
    Require(iDeclared == iExpected, "the declared length is the field's value, untouched otherwise");
    Require(declared != DeclaredLength::Valid || iDeclared >= 0, "a declared length is never negative");
    delete[] r.pData;
    return 0;
}
