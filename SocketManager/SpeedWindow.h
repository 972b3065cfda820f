// The bytes a connection brought in each of its last seconds, for the
// low-speed limit of an exchange.
#pragma once

#include <cstddef>
#include <cstdint>

class SpeedWindow {
public:
    // How many seconds the window covers.
    static constexpr int kSeconds = 60;

    // iStart: when the window begins to count (seconds).
    explicit SpeedWindow(std::int64_t iStart = 0) : m_iStart(iStart) {}
    std::int64_t Start() const { return m_iStart; }
    // Counts iBytes as arrived in second iNow (never earlier than a second
    // counted before).
    void Note(std::int64_t iNow, std::int64_t iBytes) {
        const std::size_t uSlot = static_cast<std::size_t>(iNow % kSeconds);
        if (m_aSecond[uSlot] != iNow) {
            m_aSecond[uSlot] = iNow;
            m_aBytes[uSlot] = 0;
        }
        m_aBytes[uSlot] += iBytes;
    }
    // The bytes of the kSeconds seconds up to and including iNow.
    std::int64_t Recent(std::int64_t iNow) const {
        std::int64_t iSum = 0;
        for (int i = 0; i < kSeconds; ++i) iSum += m_aSecond[i] > iNow - kSeconds ? m_aBytes[i] : 0;
        return iSum;
    }

private:
    std::int64_t m_iStart;
    std::int64_t m_aSecond[kSeconds] = {};  // the second each slot counts
    std::int64_t m_aBytes[kSeconds] = {};
};
