#include "driver/BodyWatch.h"

#include <algorithm>
#include <cstring>

StreamSearch::StreamSearch(const std::string& pattern)
    : m_pattern(pattern), m_searcher(m_pattern.data(), m_pattern.data() + m_pattern.size()) {}

void StreamSearch::Feed(const char* pBytes, std::size_t uLength) {
    if (m_iFound >= 0 || uLength == 0) {
        m_iFed += static_cast<std::int64_t>(uLength);
        return;
    }
    const std::size_t uKeep = m_pattern.size() - 1;
    // An occurrence that starts in the tail and ends in this piece.
    if (!m_tail.empty()) {
        const std::string joined = m_tail + std::string(pBytes, std::min(uLength, uKeep));
        const auto it = std::search(joined.begin(), joined.end(), m_searcher);
        if (it != joined.end()) {
            m_iFound = m_iFed - static_cast<std::int64_t>(m_tail.size()) + (it - joined.begin());
        }
    }
    if (m_iFound < 0) {
        const char* pEnd = pBytes + uLength;
        const char* p = std::search(pBytes, pEnd, m_searcher);
        if (p != pEnd) m_iFound = m_iFed + (p - pBytes);
    }
    if (uLength >= uKeep) {
        m_tail.assign(pBytes + uLength - uKeep, uKeep);
    } else {
        m_tail.append(pBytes, uLength);
        if (m_tail.size() > uKeep) m_tail.erase(0, m_tail.size() - uKeep);
    }
    m_iFed += static_cast<std::int64_t>(uLength);
}

TagValueWatch::TagValueWatch(const char* szOpenTag, const char* szCloseTag, std::size_t uValueSize)
    : m_open(szOpenTag), m_close(szCloseTag), m_uOpenLength(std::strlen(szOpenTag)), m_uValueSize(uValueSize) {}

void TagValueWatch::Feed(const char* pBytes, std::size_t uLength) {
    if (m_bTextEnded || (m_open.Found() >= 0 && m_close.Found() >= 0)) return;
    if (const void* pNul = std::memchr(pBytes, '\0', uLength)) {
        uLength = static_cast<std::size_t>(static_cast<const char*>(pNul) - pBytes);
        m_bTextEnded = true;
    }
    const std::int64_t iBase = m_open.Fed();
    m_open.Feed(pBytes, uLength);
    m_close.Feed(pBytes, uLength);
    if (m_open.Found() < 0) return;
    // The value starts after the opening tag, which ends in this piece or
    // an earlier one; keep the bytes of it that this piece holds.
    const std::int64_t iValue = m_open.Found() + static_cast<std::int64_t>(m_uOpenLength);
    const std::int64_t iFrom = std::max(iBase, iValue + static_cast<std::int64_t>(m_value.size()));
    const std::int64_t iTo =
        std::min(iBase + static_cast<std::int64_t>(uLength), iValue + static_cast<std::int64_t>(m_uValueSize - 1));
    if (iFrom < iTo) m_value.append(pBytes + (iFrom - iBase), static_cast<std::size_t>(iTo - iFrom));
}

bool TagValueWatch::Value(char* szDest, std::size_t uDestSize) const {
    if (szDest == nullptr || uDestSize == 0 || m_open.Found() < 0 || m_close.Found() < 0) return false;
    const std::int64_t iValue = m_open.Found() + static_cast<std::int64_t>(m_uOpenLength);
    if (m_close.Found() < iValue) return false;
    const std::size_t uLength =
        std::min({static_cast<std::size_t>(m_close.Found() - iValue), m_value.size(), uDestSize - 1});
    std::memcpy(szDest, m_value.data(), uLength);
    szDest[uLength] = '\0';
    return true;
}
