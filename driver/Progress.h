// The progress line of a download, for a person watching a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

// One line on a terminal: the bytes so far, the rate, and the percentage
// when the size is known. It is redrawn at most 4 times a second and
// cleared at the end. With no terminal it does nothing at all, so scheduled
// jobs and scripts see no difference.
class Progress {
public:
    // pTerminal: the terminal stream to draw on (not owned), or null.
    explicit Progress(std::FILE* pTerminal) : m_pTerminal(pTerminal) {}
    // A body of iTotal bytes begins (-1: size unknown).
    void Start(std::int64_t iTotal);
    // iDone bytes of the body have arrived; nothing before Start.
    void Update(std::int64_t iDone);
    // Removes the line, if one is shown.
    void Clear();

private:
    using Clock = std::chrono::steady_clock;
    std::FILE* m_pTerminal;
    bool m_bStarted = false;
    std::int64_t m_iTotal = -1;
    Clock::time_point m_start;
    Clock::time_point m_lastDrawn;
    int m_iWidth = 0;  // characters of the line shown, 0 when none
};
