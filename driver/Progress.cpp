#include "driver/Progress.h"

#include <cstdio>

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

// Bytes as a short text with a binary unit ("812 B", "3.4 MiB").
void FormatBytes(double dBytes, char* szOut, std::size_t uSize) {
    const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int iUnit = 0;
    while (dBytes >= 1024.0 && iUnit < 4) {
        dBytes /= 1024.0;
        ++iUnit;
    }
    std::snprintf(szOut, uSize, iUnit == 0 ? "%.0f %s" : "%.1f %s", dBytes, kUnits[iUnit]);
}

}  // namespace

void Progress::Start(std::int64_t iTotal) {
    if (m_pTerminal == nullptr) return;
    Clear();
    m_bStarted = true;
    m_iTotal = iTotal;
    m_start = Clock::now();
    m_lastDrawn = m_start;
}

void Progress::Update(std::int64_t iDone) {
    if (m_pTerminal == nullptr || !m_bStarted) return;
    const Clock::time_point now = Clock::now();
    if (now - m_lastDrawn < kRedrawEvery) return;
    m_lastDrawn = now;
    const double dSeconds = std::chrono::duration<double>(now - m_start).count();
    char szDone[32], szRate[32], szLine[128];
    FormatBytes(static_cast<double>(iDone), szDone, sizeof szDone);
    FormatBytes(dSeconds > 0 ? static_cast<double>(iDone) / dSeconds : 0.0, szRate, sizeof szRate);
    int iLength = std::snprintf(szLine, sizeof szLine, "%s received, %s/s", szDone, szRate);
    if (m_iTotal > 0 && iLength > 0 && static_cast<std::size_t>(iLength) < sizeof szLine) {
        std::snprintf(szLine + iLength, sizeof szLine - static_cast<std::size_t>(iLength), ", %d%%",
                      static_cast<int>(iDone * 100 / m_iTotal));
    }
    // Padded to the width of the line it replaces.
    const int iWidth = std::fprintf(m_pTerminal, "\r%-*s", m_iWidth, szLine) - 1;
    if (iWidth > m_iWidth) m_iWidth = iWidth;
    std::fflush(m_pTerminal);
}

void Progress::Clear() {
    m_bStarted = false;
    if (m_pTerminal == nullptr || m_iWidth == 0) return;
    std::fprintf(m_pTerminal, "\r%*s\r", m_iWidth, "");
    std::fflush(m_pTerminal);
    m_iWidth = 0;
}
