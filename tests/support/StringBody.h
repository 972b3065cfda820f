// A body destination for tests and fuzzers: keeps the body in memory, and
// can refuse bytes past a limit as a full disk would.
#pragma once

#include "SocketManager/DownloadResult.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

class StringBody : public BodyDestination {
public:
    // uRefusePast: the most bytes taken before Append fails; 0 for no limit.
    explicit StringBody(std::size_t uRefusePast = 0) : m_uRefusePast(uRefusePast) {}

    bool Append(const char* pBytes, std::size_t uLength) override {
        ++m_iAppends;
        if (m_uRefusePast != 0 && m_bytes.size() + uLength > m_uRefusePast) return false;
        m_bytes.append(pBytes, uLength);
        return true;
    }

    std::int64_t HeaderEnds(const char*, std::int32_t) override { return m_iBodyLength; }
    bool Settled() const override { return m_uSettledAt != 0 && m_bytes.size() >= m_uSettledAt; }

    std::string m_bytes;
    int m_iAppends = 0;
    std::int64_t m_iBodyLength = kUntilClose;  // what HeaderEnds answers
    std::size_t m_uSettledAt = 0;              // Settled() from this many bytes on; 0 for never

private:
    std::size_t m_uRefusePast;
};

}  // namespace testsupport
