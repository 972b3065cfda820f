// Runs a program for the end-to-end tests with CreateProcessW: empty
// standard input, standard output captured through a pipe, standard error
// shared with the test, and TMP/TEMP pointing at the test's directory.
#include "TestProcess.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <mutex>
#include <string>
#include <vector>

namespace testprocess {
namespace {

std::wstring Wide(const std::string& szText) {
    if (szText.empty()) return std::wstring();
    const int iUnits = ::MultiByteToWideChar(CP_UTF8, 0, szText.data(), static_cast<int>(szText.size()), nullptr, 0);
    if (iUnits <= 0) return std::wstring();
    std::wstring wszText(static_cast<size_t>(iUnits), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, szText.data(), static_cast<int>(szText.size()), &wszText[0], iUnits);
    return wszText;
}

// Appends one argument so that the C runtime's parser of the child gives
// it back unchanged: quoted when it is empty or holds blanks or quotes;
// inside quotes, backslashes are doubled where they precede a quote (an
// escaped one or the closing one) and each quote is escaped.
void AppendArgument(const std::wstring& wszArgument, std::wstring* pCommandLine) {
    if (!wszArgument.empty() && wszArgument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *pCommandLine += wszArgument;
        return;
    }
    *pCommandLine += L'"';
    size_t uBackslashes = 0;
    for (const wchar_t c : wszArgument) {
        if (c == L'\\') {
            ++uBackslashes;
            continue;
        }
        if (c == L'"')
            pCommandLine->append(uBackslashes * 2 + 1, L'\\');
        else
            pCommandLine->append(uBackslashes, L'\\');
        uBackslashes = 0;
        *pCommandLine += c;
    }
    pCommandLine->append(uBackslashes * 2, L'\\');
    *pCommandLine += L'"';
}

// The program's own name is read differently: up to the next quote, with
// no escapes. A file name cannot contain a quote, so quoting it suffices.
std::wstring CommandLine(const std::wstring& wszProgram, const std::vector<std::string>& arguments) {
    std::wstring wszCommandLine = L"\"" + wszProgram + L"\"";
    for (const std::string& argument : arguments) {
        wszCommandLine += L' ';
        AppendArgument(Wide(argument), &wszCommandLine);
    }
    return wszCommandLine;
}

bool IsRelative(const std::wstring& wszPath) {
    if (wszPath.size() >= 2 && wszPath[1] == L':') return false;                        // C:...
    if (!wszPath.empty() && (wszPath[0] == L'\\' || wszPath[0] == L'/')) return false;  // rooted or UNC
    return true;
}

// A relative program name is found from the child's working directory, as
// on POSIX where the child changes directory before it starts the program.
std::wstring ProgramPath(const std::string& szProgram, const std::string& szWorkDir) {
    std::wstring wszProgram = Wide(szProgram);
    if (IsRelative(wszProgram) && !szWorkDir.empty()) {
        std::wstring wszDirectory = Wide(szWorkDir);
        if (wszDirectory.back() != L'\\' && wszDirectory.back() != L'/') wszDirectory += L'\\';
        wszProgram = wszDirectory + wszProgram;
    }
    return wszProgram;
}

std::wstring Upper(std::wstring wszText) {
    for (wchar_t& c : wszText) c = static_cast<wchar_t>(std::towupper(c));
    return wszText;
}

std::wstring VariableName(const std::wstring& wszEntry) {
    // Entries such as "=C:=C:\dir" keep their leading '=' in the name.
    const size_t uEquals = wszEntry.find(L'=', 1);
    return Upper(wszEntry.substr(0, uEquals));
}

// The current environment with TMP and TEMP set to szTempDir (dropped when
// it is empty), as a sorted Unicode block ending with two NULs.
std::wstring EnvironmentBlock(const std::string& szTempDir) {
    std::vector<std::wstring> entries;
    if (wchar_t* pBlock = ::GetEnvironmentStringsW()) {
        for (const wchar_t* p = pBlock; *p != L'\0'; p += std::wcslen(p) + 1) {
            const std::wstring wszEntry(p);
            const std::wstring wszName = VariableName(wszEntry);
            if (wszName != L"TMP" && wszName != L"TEMP") entries.push_back(wszEntry);
        }
        ::FreeEnvironmentStringsW(pBlock);
    }
    if (!szTempDir.empty()) {
        const std::wstring wszTempDir = Wide(szTempDir);
        entries.push_back(L"TMP=" + wszTempDir);
        entries.push_back(L"TEMP=" + wszTempDir);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const std::wstring& a, const std::wstring& b) { return VariableName(a) < VariableName(b); });
    std::wstring wszBlock;
    for (const std::wstring& wszEntry : entries) {
        wszBlock += wszEntry;
        wszBlock += L'\0';
    }
    wszBlock += L'\0';
    return wszBlock;
}

class Handle {
public:
    Handle() = default;
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* Put() {
        Close();
        return &m_h;
    }
    HANDLE Get() const { return m_h; }
    bool Valid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }
    void Close() {
        if (Valid()) ::CloseHandle(m_h);
        m_h = nullptr;
    }

private:
    HANDLE m_h = nullptr;
};

// An inheritable copy of one of our handles, for the child alone.
bool InheritableCopy(HANDLE hSource, Handle* pCopy) {
    const HANDLE hProcess = ::GetCurrentProcess();
    return ::DuplicateHandle(hProcess, hSource, hProcess, pCopy->Put(), 0, TRUE, DUPLICATE_SAME_ACCESS) != FALSE;
}

// The process id of the child Run waits for last (0 when none), for
// TerminateLatestChild.
std::mutex g_latestMutex;
DWORD g_dwLatestChild = 0;

// Handles are made inheritable only between these two points, one child at
// a time, so that a child started on another thread cannot pick up the
// write end of this child's pipe and hold it open.
std::mutex g_startMutex;

// Starts the child with exactly the three standard handles given. The list
// of inherited handles is passed explicitly where the system accepts it.
bool Start(const std::wstring& wszProgram, std::wstring wszCommandLine, std::wstring wszEnvironment,
           const std::wstring& wszWorkDir, HANDLE hInput, HANDLE hOutput, HANDLE hError, PROCESS_INFORMATION* pInfo) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup.StartupInfo;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = hInput;
    startup.StartupInfo.hStdOutput = hOutput;
    startup.StartupInfo.hStdError = hError;
    DWORD dwFlags = CREATE_UNICODE_ENVIRONMENT;

    HANDLE aInherited[3] = {hInput, hOutput, hError};
    const DWORD dwInherited = hError != nullptr ? 3 : 2;
    std::vector<unsigned char> attributes;
    SIZE_T uAttributesSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &uAttributesSize);
    if (uAttributesSize > 0) {
        attributes.resize(uAttributesSize);
        auto* pList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
        if (::InitializeProcThreadAttributeList(pList, 1, 0, &uAttributesSize)) {
            if (::UpdateProcThreadAttribute(pList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, aInherited,
                                            dwInherited * sizeof(HANDLE), nullptr, nullptr)) {
                startup.lpAttributeList = pList;
                startup.StartupInfo.cb = sizeof startup;
                dwFlags |= EXTENDED_STARTUPINFO_PRESENT;
            } else {
                ::DeleteProcThreadAttributeList(pList);
            }
        }
    }
    BOOL bStarted =
        ::CreateProcessW(wszProgram.c_str(), &wszCommandLine[0], nullptr, nullptr, TRUE, dwFlags, &wszEnvironment[0],
                         wszWorkDir.empty() ? nullptr : wszWorkDir.c_str(), &startup.StartupInfo, pInfo);
    if (startup.lpAttributeList != nullptr) {
        ::DeleteProcThreadAttributeList(startup.lpAttributeList);
        if (!bStarted) {
            // Some handle kinds (an old console) cannot be listed: start
            // again with plain inheritance.
            startup.lpAttributeList = nullptr;
            startup.StartupInfo.cb = sizeof startup.StartupInfo;
            bStarted = ::CreateProcessW(wszProgram.c_str(), &wszCommandLine[0], nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, &wszEnvironment[0],
                                        wszWorkDir.empty() ? nullptr : wszWorkDir.c_str(), &startup.StartupInfo, pInfo);
        }
    }
    return bStarted != FALSE;
}

}  // namespace

Result Run(const std::string& szProgram, const std::vector<std::string>& arguments, const std::string& szWorkDir,
           const std::string& szTempDir) {
    Result result;
    const std::wstring wszProgram = ProgramPath(szProgram, szWorkDir);
    const std::wstring wszWorkDir = Wide(szWorkDir);

    Handle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.Put(), writeEnd.Put(), nullptr, 0)) {
        result.iStartError = static_cast<int>(::GetLastError());
        return result;
    }

    PROCESS_INFORMATION info{};
    {
        std::lock_guard<std::mutex> guard(g_startMutex);
        SECURITY_ATTRIBUTES inherit{};
        inherit.nLength = sizeof inherit;
        inherit.bInheritHandle = TRUE;
        Handle childInput, childOutput, childError;
        *childInput.Put() = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (!childInput.Valid() || !InheritableCopy(writeEnd.Get(), &childOutput)) {
            result.iStartError = static_cast<int>(::GetLastError());
            return result;
        }
        const HANDLE hOurError = ::GetStdHandle(STD_ERROR_HANDLE);
        if (hOurError == nullptr || hOurError == INVALID_HANDLE_VALUE || !InheritableCopy(hOurError, &childError)) {
            childError.Close();
        }
        if (!Start(wszProgram, CommandLine(wszProgram, arguments), EnvironmentBlock(szTempDir), wszWorkDir,
                   childInput.Get(), childOutput.Get(), childError.Get(), &info)) {
            result.iStartError = static_cast<int>(::GetLastError());
            return result;
        }
    }
    {
        std::lock_guard<std::mutex> guard(g_latestMutex);
        g_dwLatestChild = info.dwProcessId;
    }
    // Only the child writes to the pipe now: reading ends when it exits.
    writeEnd.Close();
    ::CloseHandle(info.hThread);
    result.bStarted = true;

    char aBuffer[4096];
    DWORD dwRead = 0;
    while (::ReadFile(readEnd.Get(), aBuffer, sizeof aBuffer, &dwRead, nullptr) && dwRead > 0) {
        result.szStdout.append(aBuffer, dwRead);
    }
    ::WaitForSingleObject(info.hProcess, INFINITE);
    {
        std::lock_guard<std::mutex> guard(g_latestMutex);
        if (g_dwLatestChild == info.dwProcessId) g_dwLatestChild = 0;
    }
    DWORD dwExitCode = 0;
    if (::GetExitCodeProcess(info.hProcess, &dwExitCode)) result.iExitCode = static_cast<int>(dwExitCode);
    ::CloseHandle(info.hProcess);
    return result;
}

// Windows has no limit on the size of the files one process writes (job
// objects limit memory and time, disk quotas are per user and volume), so
// a limited run is refused rather than run without its limit.
Result RunWithFileSizeLimit(const std::string& szProgram, const std::vector<std::string>& arguments,
                            const std::string& szWorkDir, const std::string& szTempDir,
                            unsigned long long uFileSizeLimit) {
    if (uFileSizeLimit == 0) return Run(szProgram, arguments, szWorkDir, szTempDir);
    return Result();
}

bool SupportsFileSizeLimit() { return false; }

Result RunWithPrivateTmp(const std::string& /*szProgram*/, const std::vector<std::string>& /*arguments*/,
                         const std::string& /*szWorkDir*/, const std::string& /*szTmpDir*/) {
    return Result();
}

bool SupportsPrivateTmp() { return false; }
bool MakeFifo(const std::string& /*szPath*/) { return false; }
bool GiveToNobody(const std::string& /*szPath*/) { return false; }

// The C runtime's text mode writes each "\n" as CR LF.
void SetEnvironment(const std::string& szName, const std::string& szValue) {
    ::SetEnvironmentVariableW(Wide(szName).c_str(), szValue.empty() ? nullptr : Wide(szValue).c_str());
}

const char* TextLineEnd() { return "\r\n"; }

bool BuiltForWindows() { return true; }

int ExitCodeOfMinusOne() { return -1; }

Result RunCapturingErrors(const std::string&, const std::vector<std::string>&, const std::string&, const std::string&,
                          bool) {
    return Result();
}

bool SignalLatestChild(int /*iSignal*/) { return false; }

bool TerminateLatestChild() {
    DWORD dwChild = 0;
    {
        std::lock_guard<std::mutex> guard(g_latestMutex);
        dwChild = g_dwLatestChild;
    }
    if (dwChild == 0) return false;
    wchar_t wszSystem[MAX_PATH];
    const UINT uUnits = ::GetSystemDirectoryW(wszSystem, MAX_PATH);
    if (uUnits == 0 || uUnits >= MAX_PATH) return false;
    std::string szTaskkill(uUnits, '\0');
    for (UINT i = 0; i < uUnits; ++i) szTaskkill[i] = static_cast<char>(wszSystem[i]);
    const Result result = Run(szTaskkill + "\\taskkill.exe", {"/F", "/PID", std::to_string(dwChild)}, "", "");
    return result.bStarted && result.iExitCode == 0;
}
int SignalNumber(const char* /*szName*/) { return 0; }

// The service a Child runs is POSIX only: no child is started here.
struct Child::Impl {};

Child::Child(const std::string&, const std::vector<std::string>&, const std::string&, const std::string&,
             const std::string&)
    : m_pImpl(new Impl) {}
Child::~Child() = default;
bool Child::Started() const { return false; }
int Child::Pid() const { return -1; }
std::string Child::WaitForFirstLine(int /*iMilliseconds*/) { return std::string(); }
bool Child::Signal(int /*iSignal*/) { return false; }
int Child::Wait() { return -1; }
int Child::Stop(int /*iSignal*/) { return -1; }
std::string Child::Output() { return std::string(); }

}  // namespace testprocess
