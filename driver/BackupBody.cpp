#include "driver/BackupBody.h"

#include "driver/ReplyCheck.h"

#include <algorithm>
#include <cstring>

namespace {

const char kFailureMarker[] = "<__Status__>FAILED</__Status__>";
// "SQLite format 3" and its NUL: the first 16 bytes of every SQLite database.
const char kSqliteMagic[] = "SQLite format 3";
constexpr std::size_t kSqliteMagicLength = sizeof kSqliteMagic;
constexpr std::size_t kReasonSize = 512;
// The staged file: "Database.<pid>.<random>.part" in the current directory.
const char kStagedPrefix[] = "Database.";
const char kStagedSuffix[] = ".part";

}  // namespace

BackupBody::BackupBody(Progress* pProgress)
    : m_pProgress(pProgress), m_marker(kFailureMarker), m_reason("<__Reason__>", "</__Reason__>", kReasonSize) {}

std::int64_t BackupBody::HeaderEnds(const char* pHeader, std::int32_t iHeaderLength) {
    if (m_pProgress != nullptr) {
        std::int64_t iTotal = -1;
        if (DeclaredContentLength(pHeader, iHeaderLength, &iTotal) != DeclaredLength::Valid) iTotal = -1;
        m_pProgress->Start(iTotal);
    }
    return BodyLengthToRead(pHeader, iHeaderLength);
}

bool BackupBody::Append(const char* pBytes, std::size_t uLength) {
    const bool bFirst = m_iReceived == 0;
    Watch(pBytes, uLength);
    if (m_trouble == Trouble::None) {
        if (bFirst && !m_file.Create(kStagedPrefix, kStagedSuffix))
            m_trouble = Trouble::CannotCreate;
        else
            Store(pBytes, uLength);
    }
    if (m_trouble == Trouble::None) return true;
    return !IsDatabase() && m_iReceived <= kUnstoredWatchLimit;
}

void BackupBody::Watch(const char* pBytes, std::size_t uLength) {
    if (m_start.size() < kSqliteHeaderSize) {
        m_start.append(pBytes, std::min(uLength, kSqliteHeaderSize - m_start.size()));
    }
    for (std::size_t i = 0; i < uLength && m_lead.size() < kWebPageLeadSize; ++i) {
        if (m_lead.empty() && std::strchr(" \t\r\n\f", pBytes[i]) != nullptr && pBytes[i] != '\0') continue;
        m_lead += pBytes[i];
    }
    // A database needs no search for the marker.
    if (!IsDatabase()) m_marker.Feed(pBytes, uLength);
    m_reason.Feed(pBytes, uLength);
    m_iReceived += static_cast<std::int64_t>(uLength);
}

void BackupBody::Store(const char* pBytes, std::size_t uLength) {
    if (!m_file.Write(pBytes, uLength)) {
        m_trouble = Trouble::CannotWrite;
        m_file.Discard();
        return;
    }
    if (m_pProgress != nullptr) m_pProgress->Update(m_iReceived);
}

bool BackupBody::IsDatabase() const {
    return m_start.compare(0, kSqliteMagicLength, kSqliteMagic, kSqliteMagicLength) == 0;
}

void BackupBody::Reason(char* szReason, std::size_t uSize) const {
    if (uSize == 0) return;
    szReason[0] = '\0';
    m_reason.Value(szReason, uSize);
}
