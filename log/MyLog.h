// The program's log: one process-wide object that appends records to a
// text file in the user's temporary directory and keeps one backup copy of
// it beside it.
#pragma once

#include "platform/Compiler.h"
#include "platform/Platform.h"

#include <cstdint>
#include <cstdio>

class MyLog {
public:
    static constexpr int kTextSize = 512;  // every path and name field
    static constexpr std::int32_t kInitialMaxSize = 102400;
    static constexpr std::int32_t kMaxSize = 1024000;

    // Makes the single instance. False (status 3) when one exists already;
    // the existing instance is left as it is.
    static bool Initialize(const char* szInstanceName);
    // The instance made by Initialize, or null. It is never destroyed.
    static MyLog* GetInstance();

    // Dorvane makes its one instance through Initialize; tests construct
    // their own. A name longer than 511 bytes is cut to fit.
    explicit MyLog(const char* szInstanceName);
    // Closes a stream still open from set-up. Dorvane's own instance lives
    // until the process ends.
    ~MyLog();
    MyLog(const MyLog&) = delete;
    MyLog& operator=(const MyLog&) = delete;

    // Chooses the directory and file names, copies an existing log over the
    // backup and creates or empties the log file. True when the log is
    // ready. False (status 3, message set) when the log cannot be opened or
    // a composed path would not fit in its 512-byte field.
    bool GetWorkingDirectory();

    // Converts NUL-terminated UTF-16 into UTF-8 in szOut (iCapacity bytes).
    // False, with szOut untouched, unless the text and its NUL fit.
    bool WideToUTF8(const char16_t* wszText, char* szOut, int iCapacity);

    // Appends one record: time stamp, "Function: " label, "Line: " line,
    // "Message: " the formatted message, and an empty line. The level raises
    // the log's status; szSourceFile is accepted and not written. Never
    // throws and reports nothing: the log's failures show only in
    // g_iLogErrorState and g_szLogErrorMessage.
    void Write(const char* szLabel, int iLevel, const char* szSourceFile, int iLine, const char* szFormat, ...)
        DORVANE_PRINTF_FORMAT(6, 7);

    // Public to the creator between Initialize and GetWorkingDirectory:
    // a bare file name and a directory (empty, or ending with a separator).
    char m_szWorkingDirectory[kTextSize];
    char m_szLogFile[kTextSize];
    char m_szBackupFile[kTextSize];
    char m_szInstanceName[kTextSize];
    std::FILE* m_pFile;
    os::CriticalSection m_csLock;
    std::int32_t m_iCurrentSize;
    std::int32_t m_iMaxSize;
    char16_t m_wszLogFile[kTextSize];
    char16_t m_wszBackupFile[kTextSize];

private:
    bool ChooseDirectory();
    bool ComposeNames();
    bool OpenForRecord();
    bool Rotate();
    void RaiseStatus(int iLevel);
};

// The log instance; the driver fills it once at start-up.
extern MyLog* g_pLog;
// The log's own status (0 none, 1..3 rising) and its last failure text.
extern int g_iLogErrorState;
extern char g_szLogErrorMessage[1024];
