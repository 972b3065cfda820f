// The staged backup file on Windows: a new file written with WriteFile,
// flushed with FlushFileBuffers and renamed with MoveFileExW (write-through,
// retried while a scanner or indexer holds the fresh file); a console
// control handler removes it when the run is interrupted.
#include "Platform.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kCreateTries = 16;
constexpr std::size_t kNameSize = 256;
// Virus scanners and indexers open a fresh file for a moment; the rename is
// tried again for about a second while they do.
constexpr int kRenameTries = 20;
constexpr DWORD kRenamePauseMs = 50;
// WriteFile takes a 32-bit count.
constexpr std::size_t kMaxWrite = 64u * 1024 * 1024;

// What the control handler removes. The file is opened with delete sharing,
// so the handler's DeleteFileW succeeds while the main thread still writes:
// the file goes when the process ends and its handle closes.
wchar_t s_wszInterruptPath[kNameSize];
volatile LONG s_lArmed = 0;
bool s_bHandlerInstalled = false;

BOOL WINAPI OnConsoleControl(DWORD dwType) {
    if (dwType == CTRL_C_EVENT || dwType == CTRL_BREAK_EVENT || dwType == CTRL_CLOSE_EVENT) {
        if (::InterlockedCompareExchange(&s_lArmed, 0, 0) != 0) ::DeleteFileW(s_wszInterruptPath);
    }
    return FALSE;  // the system's own handling ends the process as it would have
}

std::wstring WideName(const char* szName) {
    wchar_t wszName[kNameSize];
    const int iUnits = ::MultiByteToWideChar(CP_UTF8, 0, szName, -1, wszName, static_cast<int>(kNameSize));
    return iUnits > 0 ? std::wstring(wszName) : std::wstring();
}

unsigned RandomPart() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<unsigned>(counter.QuadPart * 2654435761u) ^ ::GetTickCount();
}

}  // namespace

namespace os {

// Windows has no SIGPIPE or SIGXFSZ: a failed write returns an error.
void InstallSignalHandling() {
    if (!s_bHandlerInstalled) s_bHandlerInstalled = ::SetConsoleCtrlHandler(OnConsoleControl, TRUE) != FALSE;
}

struct StagedFile::Impl {
    HANDLE hFile = INVALID_HANDLE_VALUE;
    char szName[kNameSize] = "";
    std::wstring wszName;
    bool bOnDisk = false;  // created and neither committed nor removed
    int iError = 0;

    bool Fail() {
        iError = static_cast<int>(::GetLastError());
        return false;
    }
    bool FailWith(DWORD dwError) {
        ::SetLastError(dwError);
        return Fail();
    }
    void Remove();
};

void StagedFile::Impl::Remove() {
    if (hFile != INVALID_HANDLE_VALUE) ::CloseHandle(hFile);
    hFile = INVALID_HANDLE_VALUE;
    if (bOnDisk) ::DeleteFileW(wszName.c_str());
    bOnDisk = false;
    ::InterlockedExchange(&s_lArmed, 0);
}

StagedFile::StagedFile() : m_pImpl(new Impl) {}

StagedFile::~StagedFile() { Discard(); }

bool StagedFile::Create(const char* szPrefix, const char* szSuffix) {
    Impl& file = *m_pImpl;
    if (file.szName[0] != '\0') return file.FailWith(ERROR_INVALID_PARAMETER);
    InstallSignalHandling();
    for (int iTry = 0; iTry < kCreateTries; ++iTry) {
        char szName[kNameSize];
        const int iLength = std::snprintf(szName, sizeof szName, "%s%lu.%08x%s", szPrefix,
                                          static_cast<unsigned long>(::GetCurrentProcessId()), RandomPart(), szSuffix);
        const std::wstring wszName = WideName(szName);
        if (iLength < 0 || static_cast<std::size_t>(iLength) >= sizeof szName || wszName.empty()) {
            return file.FailWith(ERROR_FILENAME_EXCED_RANGE);
        }
        std::memcpy(s_wszInterruptPath, wszName.c_str(), (wszName.size() + 1) * sizeof(wchar_t));
        ::InterlockedExchange(&s_lArmed, 1);
        file.hFile = ::CreateFileW(wszName.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        // The name is kept even on failure, so that the failure can name it.
        std::memcpy(file.szName, szName, static_cast<std::size_t>(iLength) + 1);
        if (file.hFile != INVALID_HANDLE_VALUE) {
            file.wszName = wszName;
            file.bOnDisk = true;
            return true;
        }
        file.Fail();
        ::InterlockedExchange(&s_lArmed, 0);
        if (file.iError != ERROR_FILE_EXISTS && file.iError != ERROR_ALREADY_EXISTS) return false;
    }
    return false;
}

const char* StagedFile::Name() const { return m_pImpl->szName; }

bool StagedFile::Write(const char* pBytes, std::size_t uLength) {
    Impl& file = *m_pImpl;
    while (uLength > 0) {
        const DWORD dwAsk = static_cast<DWORD>(uLength < kMaxWrite ? uLength : kMaxWrite);
        DWORD dwDone = 0;
        if (!::WriteFile(file.hFile, pBytes, dwAsk, &dwDone, nullptr)) return file.Fail();
        if (dwDone == 0) return file.FailWith(ERROR_WRITE_FAULT);
        pBytes += dwDone;
        uLength -= dwDone;
    }
    return true;
}

bool StagedFile::Commit(const char* szFinalName) {
    Impl& file = *m_pImpl;
    bool bDone = ::FlushFileBuffers(file.hFile) != FALSE || file.Fail();
    bDone = (::CloseHandle(file.hFile) != FALSE || file.Fail()) && bDone;
    file.hFile = INVALID_HANDLE_VALUE;
    const std::wstring wszFinal = WideName(szFinalName);
    if (bDone && wszFinal.empty()) bDone = file.FailWith(ERROR_FILENAME_EXCED_RANGE);
    for (int iTry = 0; bDone; ++iTry) {
        if (::MoveFileExW(file.wszName.c_str(), wszFinal.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            file.bOnDisk = false;
            ::InterlockedExchange(&s_lArmed, 0);
            return true;
        }
        file.Fail();
        const bool bHeldOpen = file.iError == ERROR_SHARING_VIOLATION || file.iError == ERROR_ACCESS_DENIED;
        if (!bHeldOpen || iTry + 1 >= kRenameTries) break;
        ::Sleep(kRenamePauseMs);
    }
    file.Remove();
    return false;
}

void StagedFile::Discard() { m_pImpl->Remove(); }

int StagedFile::LastError() const { return m_pImpl->iError; }

}  // namespace os
