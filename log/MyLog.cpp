#include "log/MyLog.h"

#include "utility/Utility.h"

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

MyLog* g_pLog = nullptr;
int g_iLogErrorState = 0;
char g_szLogErrorMessage[1024] = "";

namespace {

MyLog* s_pInstance = nullptr;

const char kServerInstance[] = "Server";
const char kServerBaseName[] = "RunServerLog";
const char kDefaultBaseName[] = "qmx1024h";

// Copies szSource into a buffer of uSize bytes, cutting it to fit.
void CopyCut(char* szDest, size_t uSize, const char* szSource) {
    std::snprintf(szDest, uSize, "%s", szSource != nullptr ? szSource : "");
}

// Formats into a buffer of kTextSize bytes; false when the text is cut.
template <typename... Args>
bool FormatPath(char* szDest, const char* szFormat, Args... args) {
    const int iLength = std::snprintf(szDest, MyLog::kTextSize, szFormat, args...);
    return iLength >= 0 && iLength < MyLog::kTextSize;
}

void SetLogError(int iState, const char* szMessage) {
    g_iLogErrorState = iState;
    CopyCut(g_szLogErrorMessage, sizeof g_szLogErrorMessage, szMessage);
}

// Holds a critical section for as long as it lives.
class LockHeld {
public:
    explicit LockHeld(os::CriticalSection& cs) : m_csHeld(cs) { m_csHeld.Enter(); }
    ~LockHeld() { m_csHeld.Leave(); }
    LockHeld(const LockHeld&) = delete;
    LockHeld& operator=(const LockHeld&) = delete;

private:
    os::CriticalSection& m_csHeld;
};

void SetOpenError(const char* szLogFile, bool bWithCode) {
    g_iLogErrorState = 3;
    if (bWithCode) {
        std::snprintf(g_szLogErrorMessage, sizeof g_szLogErrorMessage,
                      "failed to create log file %s in MyLog::GetWorkingDirectory(), %d", szLogFile,
                      os::LastSystemError());
    } else {
        std::snprintf(g_szLogErrorMessage, sizeof g_szLogErrorMessage,
                      "failed to create log file %s in MyLog::GetWorkingDirectory()", szLogFile);
    }
}

// "YYYY-MM-DD hh:mm:ss" of the current local time.
void FormatTimeStamp(char* szOut, size_t uSize) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* pLocal = std::localtime(&now)) local = *pLocal;
    std::snprintf(szOut, uSize, "%d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace

bool MyLog::Initialize(const char* szInstanceName) {
    if (s_pInstance != nullptr) {
        SetLogError(3, "More than log instance, reported from MyLog::Initialize()");
        return false;
    }
    s_pInstance = new (std::nothrow) MyLog(szInstanceName);
    return s_pInstance != nullptr;
}

MyLog* MyLog::GetInstance() { return s_pInstance; }

MyLog::MyLog(const char* szInstanceName)
    : m_szWorkingDirectory(),
      m_szLogFile(),
      m_szBackupFile(),
      m_szInstanceName(),
      m_pFile(nullptr),
      m_iCurrentSize(0),
      m_iMaxSize(kInitialMaxSize),
      m_wszLogFile(),
      m_wszBackupFile() {
    g_iLogErrorState = 0;
    g_szLogErrorMessage[0] = '\0';
    CopyCut(m_szInstanceName, sizeof m_szInstanceName, szInstanceName);
}

MyLog::~MyLog() {
    if (m_pFile != nullptr) std::fclose(m_pFile);
}

bool MyLog::WideToUTF8(const char16_t* wszText, char* szOut, int iCapacity) {
    return Utility::WideToUTF8(wszText, szOut, iCapacity);
}

bool MyLog::ChooseDirectory() {
    if (std::strcmp(m_szInstanceName, kServerInstance) == 0) {
        CopyCut(m_szWorkingDirectory, sizeof m_szWorkingDirectory, ".\\");
        return true;
    }
    if (m_szWorkingDirectory[0] != '\0') return true;
    char16_t wszTemp[kTextSize];
    const std::uint32_t uLength = os::GetTempPathWide(kTextSize, wszTemp);
    // A directory the system cannot give, or one too long for the field,
    // leaves the names relative to the current directory.
    if (uLength == 0 || uLength >= static_cast<std::uint32_t>(kTextSize)) return true;
    if (!WideToUTF8(wszTemp, m_szWorkingDirectory, kTextSize)) m_szWorkingDirectory[0] = '\0';
    return true;
}

bool MyLog::ComposeNames() {
    char szFileName[kTextSize];
    CopyCut(szFileName, sizeof szFileName, m_szLogFile);
    bool bFits;
    if (std::strcmp(m_szInstanceName, kServerInstance) == 0) {
        bFits = FormatPath(m_szLogFile, "%s%s.txt", m_szWorkingDirectory, kServerBaseName) &&
                FormatPath(m_szBackupFile, "%s%s.bak", m_szWorkingDirectory, kServerBaseName);
    } else if (szFileName[0] != '\0') {
        bFits = FormatPath(m_szLogFile, "%s%s", m_szWorkingDirectory, szFileName) &&
                FormatPath(m_szBackupFile, "%s.bak", m_szLogFile);
    } else {
        bFits = FormatPath(m_szLogFile, "%s%s.txt", m_szWorkingDirectory, kDefaultBaseName) &&
                FormatPath(m_szBackupFile, "%s%s.bak", m_szWorkingDirectory, kDefaultBaseName);
    }
    return bFits && os::Utf8ToWide(m_szLogFile, -1, m_wszLogFile, kTextSize) > 0 &&
           os::Utf8ToWide(m_szBackupFile, -1, m_wszBackupFile, kTextSize) > 0;
}

bool MyLog::GetWorkingDirectory() {
    try {
        ChooseDirectory();
        m_iMaxSize = kMaxSize;
        char szBareName[kTextSize];
        CopyCut(szBareName, sizeof szBareName, m_szLogFile);
        bool bComposed = ComposeNames();
        // A link, or another user's file, at the log's names in the temporary
        // directory: the log goes to the current directory instead.
        if (bComposed && m_szWorkingDirectory[0] != '\0' &&
            (os::IsForeignFile(m_wszLogFile) || os::IsForeignFile(m_wszBackupFile))) {
            m_szWorkingDirectory[0] = '\0';
            CopyCut(m_szLogFile, sizeof m_szLogFile, szBareName);
            bComposed = ComposeNames();
        }
        if (!bComposed) {
            SetLogError(3, "log file path too long in MyLog::GetWorkingDirectory()");
            return false;
        }
        if (os::PathExists(m_wszLogFile)) os::CopyFileReplacing(m_wszLogFile, m_wszBackupFile);
        m_pFile = os::OpenFileWide(m_wszLogFile, "w");
        if (m_pFile == nullptr) {
            SetOpenError(m_szLogFile, true);
            return false;
        }
        return true;
    } catch (...) {
        SetLogError(3, "Exception happens in MyLog::Initialize()");
        return false;
    }
}

void MyLog::RaiseStatus(int iLevel) {
    if (iLevel >= 1 && iLevel <= 3 && g_iLogErrorState < iLevel) g_iLogErrorState = iLevel;
}

bool MyLog::OpenForRecord() {
    if (m_pFile != nullptr) std::fclose(m_pFile);
    m_pFile = os::OpenFileWide(m_wszLogFile, "a");
    if (m_pFile != nullptr) return true;
    SetOpenError(m_szLogFile, false);
    return false;
}

// Copies the whole log over the backup and starts the log again, empty.
// The copy is the exact one of start-up, by the UTF-16 names: every byte
// as it is (a text-mode copy would stop at a Ctrl-Z on Windows), and a
// backup that stays as it was when the log cannot be copied.
bool MyLog::Rotate() {
    std::fclose(m_pFile);
    m_pFile = nullptr;
    os::CopyFileReplacing(m_wszLogFile, m_wszBackupFile);
    m_iCurrentSize = 0;
    m_pFile = os::OpenFileWide(m_wszLogFile, "w");
    if (m_pFile != nullptr) return true;
    SetOpenError(m_szLogFile, true);
    return false;
}

void MyLog::Write(const char* szLabel, int iLevel, const char* /*szSourceFile*/, int iLine, const char* szFormat, ...) {
    const LockHeld lock(m_csLock);
    try {
        if (!OpenForRecord()) return;
        char szTimeStamp[64];
        FormatTimeStamp(szTimeStamp, sizeof szTimeStamp);
        RaiseStatus(iLevel);
        std::string szHeader = szTimeStamp;
        szHeader += "\nFunction: ";
        szHeader += szLabel != nullptr ? szLabel : "";
        szHeader += "\nLine: ";
        szHeader += std::to_string(iLine);
        szHeader += "\nMessage: ";
        const long long llCounted = static_cast<long long>(m_iCurrentSize) + static_cast<long long>(szHeader.size());
        m_iCurrentSize = llCounted > 0x7fffffffLL ? 0x7fffffff : static_cast<std::int32_t>(llCounted);
        const bool bRotated = m_iCurrentSize > m_iMaxSize;
        if (bRotated && !Rotate()) return;
        std::fwrite(szHeader.data(), 1, szHeader.size(), m_pFile);
        va_list args;
        va_start(args, szFormat);
        if (szFormat != nullptr) std::vfprintf(m_pFile, szFormat, args);
        va_end(args);
        std::fputs("\n\n", m_pFile);
        std::fflush(m_pFile);
        std::fclose(m_pFile);
        m_pFile = nullptr;
    } catch (...) {
        SetLogError(2, "Exception happens in MyLog::Write()");
    }
}
