// The staged backup file on Windows: a new file opened with DELETE access
// and marked delete-on-close from its creation, so that the system removes
// it however the process ends (Ctrl+C, TerminateProcess from Task
// Scheduler's time limit or taskkill /F, logoff). Commit flushes it, clears
// the mark and renames it through the same handle before closing it, so no
// other program can open it between the close and the rename; while another
// program holds the final name open the rename is retried for up to 30 s,
// and after that the whole, flushed file stays under its staged name.
#include "Platform.h"

#include "TestSeam.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kCreateTries = 16;
constexpr std::size_t kNameSize = 256;
// Virus scanners and indexers open a fresh file for seconds at a time; the
// rename is tried again, with growing pauses, for this long.
constexpr DWORD kRenamePatienceMs = 30000;
constexpr DWORD kFirstPauseMs = 50;
constexpr DWORD kLongestPauseMs = 2000;
// WriteFile takes a 32-bit count.
constexpr std::size_t kMaxWrite = 64u * 1024 * 1024;

std::wstring WideName(const char* szName) {
    wchar_t wszName[kNameSize];
    const int iUnits = ::MultiByteToWideChar(CP_UTF8, 0, szName, -1, wszName, static_cast<int>(kNameSize));
    return iUnits > 0 ? std::wstring(wszName) : std::wstring();
}

// The absolute form of a name (GetFullPathNameW); "" when there is none.
std::wstring FullPath(const std::wstring& wszName) {
    const DWORD dwUnits = ::GetFullPathNameW(wszName.c_str(), 0, nullptr, nullptr);
    if (dwUnits == 0) return std::wstring();
    std::vector<wchar_t> full(dwUnits);
    const DWORD dwWritten = ::GetFullPathNameW(wszName.c_str(), dwUnits, full.data(), nullptr);
    return dwWritten > 0 && dwWritten < dwUnits ? std::wstring(full.data(), dwWritten) : std::wstring();
}

// A name the Win32 file calls accept at any length: the name itself while
// its full path stays within MAX_PATH, else the full path with the prefix
// \\?\ (or \\?\UNC\ for a share) that lifts the limit.
std::wstring LongPath(const std::wstring& wszName) {
    const std::wstring wszFull = FullPath(wszName);
    if (wszFull.size() < MAX_PATH || wszFull.compare(0, 4, L"\\\\?\\") == 0) return wszName;
    if (wszFull.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + wszFull.substr(2);
    return L"\\\\?\\" + wszFull;
}

// The system's own name of a path, as FileRenameInfo takes it: \??\C:\...
// or \??\UNC\server\share\...; "" when the path has no full form.
std::wstring NtPath(const std::wstring& wszName) {
    const std::wstring wszFull = FullPath(wszName);
    if (wszFull.empty()) return wszFull;
    if (wszFull.compare(0, 4, L"\\\\?\\") == 0) return L"\\??\\" + wszFull.substr(4);
    if (wszFull.compare(0, 2, L"\\\\") == 0) return L"\\??\\UNC\\" + wszFull.substr(2);
    return L"\\??\\" + wszFull;
}

unsigned RandomPart() {
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    return static_cast<unsigned>(counter.QuadPart * 2654435761u) ^ ::GetTickCount();
}

bool MarkDeleteOnClose(HANDLE hFile, bool bDelete) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = bDelete ? TRUE : FALSE;
    return ::SetFileInformationByHandle(hFile, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// Renames the open file over wszNtFinal (an NT path), replacing a file of
// that name.
bool RenameOpenFile(HANDLE hFile, const std::wstring& wszNtFinal) {
    const std::size_t uNameBytes = wszNtFinal.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + uNameBytes);
    FILE_RENAME_INFO* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    pInfo->ReplaceIfExists = TRUE;
    pInfo->RootDirectory = nullptr;
    pInfo->FileNameLength = static_cast<DWORD>(uNameBytes);
    std::memcpy(pInfo->FileName, wszNtFinal.data(), uNameBytes);
    return ::SetFileInformationByHandle(hFile, FileRenameInfo, pInfo, static_cast<DWORD>(buffer.size())) != FALSE;
}

// Whether a failed rename may succeed later: the final name is a file that
// another program holds open (not a directory, which stays one).
bool HeldOpen(DWORD dwError, const std::wstring& wszFinal) {
    if (dwError != ERROR_ACCESS_DENIED && dwError != ERROR_SHARING_VIOLATION && dwError != ERROR_LOCK_VIOLATION) {
        return false;
    }
    const DWORD dwAttributes = ::GetFileAttributesW(LongPath(wszFinal).c_str());
    return dwAttributes == INVALID_FILE_ATTRIBUTES || (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

DWORD RenamePatienceMs() {
    const DWORD dwShortened = DORVANE_SEAM_RENAME_PATIENCE_MS();
    return dwShortened > 0 ? dwShortened : kRenamePatienceMs;
}

}  // namespace

namespace os {

// Windows has no SIGPIPE or SIGXFSZ: a failed write returns an error. The
// staged file needs no handler either: its delete-on-close mark removes it
// when the process ends.
void InstallSignalHandling() {}

struct StagedFile::Impl {
    HANDLE hFile = INVALID_HANDLE_VALUE;
    char szName[kNameSize] = "";
    int iError = 0;
    bool bKept = false;

    bool Fail() {
        iError = static_cast<int>(::GetLastError());
        return false;
    }
    bool FailWith(DWORD dwError) {
        ::SetLastError(dwError);
        return Fail();
    }
    bool RenameWithPatience(const std::wstring& wszFinal);
    void Remove();
};

bool StagedFile::Impl::RenameWithPatience(const std::wstring& wszFinal) {
    const std::wstring wszNtFinal = NtPath(wszFinal);
    if (wszNtFinal.empty()) return Fail();
    const ULONGLONG uStart = ::GetTickCount64();
    const DWORD dwPatience = RenamePatienceMs();
    for (DWORD dwPause = kFirstPauseMs;; dwPause = dwPause * 2 < kLongestPauseMs ? dwPause * 2 : kLongestPauseMs) {
        if (RenameOpenFile(hFile, wszNtFinal)) return true;
        Fail();
        const ULONGLONG uWaited = ::GetTickCount64() - uStart;
        if (!HeldOpen(static_cast<DWORD>(iError), wszFinal) || uWaited >= dwPatience) return false;
        const ULONGLONG uLeft = dwPatience - uWaited;
        ::Sleep(uLeft < dwPause ? static_cast<DWORD>(uLeft) : dwPause);
    }
}

// The mark is set again before the handle closes, so that closing removes
// the file; the name is deleted outright should that fail.
void StagedFile::Impl::Remove() {
    if (hFile == INVALID_HANDLE_VALUE) return;
    const bool bMarked = MarkDeleteOnClose(hFile, true);
    ::CloseHandle(hFile);
    hFile = INVALID_HANDLE_VALUE;
    if (!bMarked) ::DeleteFileW(LongPath(WideName(szName)).c_str());
}

StagedFile::StagedFile() : m_pImpl(new Impl) {}

StagedFile::~StagedFile() { Discard(); }

bool StagedFile::Create(const char* szPrefix, const char* szSuffix) {
    Impl& file = *m_pImpl;
    if (file.szName[0] != '\0') return file.FailWith(ERROR_INVALID_PARAMETER);
    for (int iTry = 0; iTry < kCreateTries; ++iTry) {
        char szName[kNameSize];
        const int iLength = std::snprintf(szName, sizeof szName, "%s%lu.%08x%s", szPrefix,
                                          static_cast<unsigned long>(::GetCurrentProcessId()), RandomPart(), szSuffix);
        const std::wstring wszName = WideName(szName);
        if (iLength < 0 || static_cast<std::size_t>(iLength) >= sizeof szName || wszName.empty()) {
            return file.FailWith(ERROR_FILENAME_EXCED_RANGE);
        }
        // The name is kept even on failure, so that the failure can name it.
        std::memcpy(file.szName, szName, static_cast<std::size_t>(iLength) + 1);
        file.hFile =
            ::CreateFileW(LongPath(wszName).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file.hFile != INVALID_HANDLE_VALUE) {
            if (MarkDeleteOnClose(file.hFile, true)) return true;
            file.Fail();
            ::CloseHandle(file.hFile);
            file.hFile = INVALID_HANDLE_VALUE;
            ::DeleteFileW(LongPath(wszName).c_str());
            return false;
        }
        file.Fail();
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
    const std::wstring wszFinal = WideName(szFinalName);
    bool bWhole = ::FlushFileBuffers(file.hFile) != FALSE || file.Fail();
    if (bWhole && wszFinal.empty()) bWhole = file.FailWith(ERROR_FILENAME_EXCED_RANGE);
    bWhole = bWhole && (MarkDeleteOnClose(file.hFile, false) || file.Fail());
    if (!bWhole) {
        file.Remove();
        return false;
    }
    const bool bRenamed = file.RenameWithPatience(wszFinal);
    if (!bRenamed && !HeldOpen(static_cast<DWORD>(file.iError), wszFinal)) {
        file.Remove();
        return false;
    }
    // Renamed, or whole and flushed under its staged name: either way the
    // backup stays.
    file.bKept = !bRenamed;
    ::CloseHandle(file.hFile);
    file.hFile = INVALID_HANDLE_VALUE;
    return bRenamed;
}

bool StagedFile::Kept() const { return m_pImpl->bKept; }

void StagedFile::DiscardKept() {
    Impl& file = *m_pImpl;
    if (file.bKept) ::DeleteFileW(LongPath(WideName(file.szName)).c_str());
    file.bKept = false;
}

void StagedFile::Discard() { m_pImpl->Remove(); }

int StagedFile::LastError() const { return m_pImpl->iError; }

}  // namespace os
