#include "driver/Verdict.h"

#include "driver/Dorvane.h"
#include "driver/ReplyCheck.h"
#include "log/MyLog.h"
#include "utility/Utility.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

using namespace Dorvane;

const char kSourceFile[] = "driver/Verdict";
const char kLabel[] = "Dorvane";
const char kSqliteMagic[] = "SQLite format 3";  // and its NUL: 16 bytes

// The lines of the driver's records about replies.
constexpr int kLineConflictingLength = 145;
constexpr int kLineIncompleteReply = 146;
constexpr int kLineOverlongReply = 147;
constexpr int kLineErrorReply = 148;
constexpr int kLineUnreadableLength = 149;
constexpr int kLineEndedByError = 150;
constexpr int kLineTransferCoding = 151;
constexpr int kLinePartialContent = 152;
constexpr int kLineContentCoding = 153;
constexpr int kLineUnreadableStatus = 155;
constexpr int kLineDatabaseSize = 156;
constexpr int kLineNoBlankLine = 157;
constexpr int kLineEmptyBody = 158;
constexpr int kLineWebPage = 159;
constexpr int kLineNoCloseNotify = 160;
// A Location shown in a record is cut to this many bytes.
constexpr int kMaxLoggedLocation = 1024;

// A URL from a reply as a record may show it: the password of its user
// information ("//user:password@host") and of its "Password=" query fields
// replaced with "***".
std::string RedactedUrl(const std::string& url) {
    std::string shown = LoggableUrl(url.c_str());
    const std::size_t uSlashes = shown.find("//");
    if (uSlashes == std::string::npos) return shown;
    const std::size_t uAuthority = uSlashes + 2;
    const std::size_t uEnd = std::min(shown.find_first_of("/?#", uAuthority), shown.size());
    const std::size_t uAt = shown.rfind('@', uEnd);
    if (uAt == std::string::npos || uAt < uAuthority) return shown;
    const std::size_t uColon = shown.find(':', uAuthority);
    if (uColon < uAt) shown.replace(uColon + 1, uAt - uColon - 1, "***");
    return shown;
}

// A server's text with each byte but printable ASCII replaced with "?", so
// that it can neither drive a terminal nor forge a record.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (c < 0x20 || c > 0x7e) c = '?';
    }
    return text;
}

// Logs szMessage as the record of iLine and returns iStatus.
int Refuse(int iLine, const char* szMessage, int iStatus) {
    g_pLog->Write(kLabel, 0, kSourceFile, iLine, "%s", szMessage);
    return iStatus;
}

// The status line, when there is one: 2xx, and not 206.
int JudgeStatusLine(const DownloadResult& result) {
    const int iStatus = ReplyStatusCode(result.pData, result.iDataLength);
    if (iStatus == 0) return Refuse(kLineUnreadableStatus, "Malformed reply: unreadable status line", kExitProtocol);
    if (iStatus == 206) return Refuse(kLinePartialContent, "Partial reply: HTTP status 206", kExitProtocol);
    if (iStatus >= 0 && (iStatus < 200 || iStatus > 299)) {
        const std::string location =
            iStatus >= 300 && iStatus <= 399 ? LocationField(result.pData, result.iHeaderEnd) : std::string();
        if (location.empty()) {
            g_pLog->Write(kLabel, 0, kSourceFile, kLineErrorReply, "Error reply: HTTP status %d", iStatus);
        } else {
            const std::string shown = Printable(RedactedUrl(location));
            g_pLog->Write(kLabel, 0, kSourceFile, kLineErrorReply, "Error reply: HTTP status %d, Location: %.*s",
                          iStatus, kMaxLoggedLocation, shown.c_str());
        }
        return kExitRefused;
    }
    return kExitDone;
}

// A 2xx reply that is a web page (by its type or its first bytes) is no
// backup: a default virtual host, a captive portal, a misrouted proxy.
int JudgeWebPage(const DownloadResult& result, const std::string& bodyLead) {
    const char* szType = WebPageType(result.pData, result.iHeaderEnd);
    if (szType[0] == '\0' && !BeginsAsWebPage(bodyLead)) return kExitDone;
    g_pLog->Write(kLabel, 0, kSourceFile, kLineWebPage, "Refused reply: a web page (%s), not a database",
                  szType[0] != '\0' ? szType : "the body begins as HTML");
    return kExitProtocol;
}

// The body is the file itself: no transfer or content coding.
int JudgeCodings(const DownloadResult& result) {
    if (HasTransferCoding(result.pData, result.iHeaderEnd)) {
        return Refuse(kLineTransferCoding, "Refused reply: chunked or other transfer coding", kExitProtocol);
    }
    if (HasContentCoding(result.pData, result.iHeaderEnd)) {
        return Refuse(kLineContentCoding, "Refused reply: Content-Encoding other than identity", kExitProtocol);
    }
    return kExitDone;
}

// Whether the body begins as an SQLite database whose header gives its
// size consistently, and that size is the body's.
bool ProvenBySqliteHeader(std::int64_t iBodyLength, const std::string& bodyStart) {
    std::int64_t iDeclared = 0;
    return bodyStart.size() >= kSqliteHeaderSize &&
           bodyStart.compare(0, sizeof kSqliteMagic, kSqliteMagic, sizeof kSqliteMagic) == 0 &&
           DeclaredDatabaseSize(bodyStart.data(), bodyStart.size(), &iDeclared) && iDeclared == iBodyLength;
}

// A reply without Content-Length: whole when the connection ended as it
// should; over TLS an end without close_notify is proven whole only by the
// SQLite header's own size.
int JudgeUndeclaredLength(const DownloadResult& result, const std::string& bodyStart) {
    if (!result.bEndedByError && !result.bNoCloseNotify) return kExitDone;
    if (result.bNoCloseNotify && ProvenBySqliteHeader(result.iBodyLength, bodyStart)) return kExitDone;
    if (result.bEndedByError) {
        return Refuse(kLineEndedByError, "Incomplete reply: the connection ended with an error", kExitNetwork);
    }
    return Refuse(kLineNoCloseNotify, "Incomplete reply: no close_notify and no Content-Length", kExitNetwork);
}

// The body is exactly as long as a declared Content-Length, and, when the
// connection ended in an error or without TLS's close_notify, one was
// declared or the body proves its own size.
int JudgeLength(const DownloadResult& result, const std::string& bodyStart) {
    std::int64_t iDeclared = 0;
    switch (DeclaredContentLength(result.pData, result.iHeaderEnd, &iDeclared)) {
        case DeclaredLength::None:
            return JudgeUndeclaredLength(result, bodyStart);
        case DeclaredLength::Unreadable:
            return Refuse(kLineUnreadableLength, "Malformed reply: unreadable Content-Length", kExitProtocol);
        case DeclaredLength::Conflicting:
            return Refuse(kLineConflictingLength, "Malformed reply: conflicting Content-Length values", kExitProtocol);
        case DeclaredLength::Valid:
            break;
    }
    // Bytes past the declared length, in the reads that completed the body,
    // make the reply overlong though the exchange kept none of them.
    const std::int64_t iReceived = result.iBodyLength + result.iExcessLength;
    if (iReceived == iDeclared) return kExitDone;
    const bool bShort = iReceived < iDeclared;
    g_pLog->Write(kLabel, 0, kSourceFile, bShort ? kLineIncompleteReply : kLineOverlongReply,
                  "%s reply: Content-Length = %lld, received = %lld", bShort ? "Incomplete" : "Overlong",
                  static_cast<long long>(iDeclared), static_cast<long long>(iReceived));
    return bShort ? kExitNetwork : kExitProtocol;
}

// A body that begins as an SQLite database is as long as its header says,
// when the header says it consistently.
int JudgeDatabaseSize(std::int64_t iBodyLength, const std::string& bodyStart) {
    if (bodyStart.compare(0, sizeof kSqliteMagic, kSqliteMagic, sizeof kSqliteMagic) != 0) return kExitDone;
    if (bodyStart.size() < kSqliteHeaderSize) {
        g_pLog->Write(kLabel, 0, kSourceFile, kLineDatabaseSize,
                      "Database size mismatch: received = %lld, less than the 100-byte header",
                      static_cast<long long>(iBodyLength));
        return kExitNetwork;
    }
    std::int64_t iDeclared = 0;
    if (!DeclaredDatabaseSize(bodyStart.data(), bodyStart.size(), &iDeclared) || iDeclared == iBodyLength) {
        return kExitDone;
    }
    g_pLog->Write(kLabel, 0, kSourceFile, kLineDatabaseSize,
                  "Database size mismatch: header size = %lld, received = %lld", static_cast<long long>(iDeclared),
                  static_cast<long long>(iBodyLength));
    return kExitNetwork;
}

}  // namespace

int JudgeReply(const DownloadResult& result, const std::string& bodyStart, const std::string& bodyLead) {
    // Download reports a time-out that ended the reply as a network failure.
    const int iCutShort = result.eFailure == ExchangeFailure::Network ? kExitNetwork : kExitProtocol;
    if (result.iBodyLength == 0 && result.iHeaderEnd < 0) {
        return Refuse(kLineNoBlankLine, "Malformed reply: no blank line after the header", iCutShort);
    }
    int iStatus = JudgeStatusLine(result);
    if (iStatus == kExitDone) iStatus = JudgeWebPage(result, bodyLead);
    if (iStatus == kExitDone) iStatus = JudgeCodings(result);
    if (iStatus == kExitDone) iStatus = JudgeLength(result, bodyStart);
    if (iStatus == kExitDone && result.iBodyLength == 0) {
        iStatus = Refuse(kLineEmptyBody, "Empty reply: no body", iCutShort);
    }
    if (iStatus == kExitDone) iStatus = JudgeDatabaseSize(result.iBodyLength, bodyStart);
    return iStatus;
}

int ExchangeFailureStatus(ExchangeFailure eFailure) {
    if (eFailure == ExchangeFailure::Tls) return kExitTls;
    return eFailure == ExchangeFailure::Protocol ? kExitProtocol : kExitNetwork;
}
