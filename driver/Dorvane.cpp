#include "driver/Dorvane.h"

#include "SocketManager/DownloadResult.h"
#include "SocketManager/HTTPConnection.h"
#include "driver/PasswordCipher.h"
#include "driver/ReplyCheck.h"
#include "driver/TaggedText.h"
#include "log/MyLog.h"
#include "platform/Platform.h"
#include "utility/SocketErrorText.h"
#include "utility/Utility.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

namespace {

const char kSourceFile[] = "driver/Dorvane";
const char kConfigFile[] = "Ostrel.cfg";
const char16_t kConfigFileWide[] = u"Ostrel.cfg";
const char kCipherMode[] = "A";
const char kServicePath[] = "/as/wapi/retrieve_db";
const char kFailureMarker[] = "<__Status__>FAILED</__Status__>";
constexpr std::int32_t kFailureMarkerLength = 31;
constexpr std::int32_t kTimeoutSeconds = 7;
constexpr int kAttempts = 2;
constexpr std::uint32_t kRetryPauseMs = 3000;
// A configuration file is a few kilobytes; anything past this is not one.
constexpr long kMaxConfigFileSize = 16L * 1024 * 1024;
constexpr std::size_t kWriteSlice = 64 * 1024;

const char kUsageFirst[] =
    "First run the following command to generate a config file: \n\nDorvane.exe server_address email_address "
    "password\n\n";
const char kMissingConfigFirst[] =
    "The configuration file has not been created. Please run the following command to generate the missing file: "
    "\n\nDorvane.exe server_address email_address password\n\n";
const char kUsageLast[] = "Then run Dorvane.exe";

// Log lines of the driver's records.
constexpr int kLineWrongArgc = 45;
constexpr int kLineSplitFailed = 120;
constexpr int kLineResolveFailed = 126;
constexpr int kLineDownloadSize = 144;
constexpr int kLineIncompleteReply = 146;
constexpr int kLineOverlongReply = 147;
constexpr int kLineErrorReply = 148;
constexpr int kLineUnreadableLength = 149;
constexpr int kLineFailureReply = 154;
constexpr int kLineCannotOpen = 177;
constexpr int kLineCompleted = 184;
constexpr int kLineCannotWrite = 186;
constexpr int kLineRepeat = 199;
constexpr int kLineGaveUp = 205;

// The values of the configuration file, in buffers of the sizes download
// mode has always used.
struct Settings {
    char szServerAddress[Utility::kTextSize] = {};
    char szEmail[512] = {};
    char szPassword[512] = {};
};

// The configured server, split and resolved.
struct Server {
    char szHost[Utility::kTextSize] = {};
    std::int32_t iPort = 80;
    char szPath[Utility::kTextSize] = {};
    char szAddress[Utility::kTextSize] = {};
};

void LogDriver(const char* szLabel, int iLine, const char* szMessage) {
    g_pLog->Write(szLabel, 0, kSourceFile, iLine, "%s", szMessage);
}

void DestroyResult(DownloadResult* pResult) {
    if (pResult == nullptr) return;
    delete[] pResult->pData;
    pResult->pData = nullptr;
    delete pResult;
}

// Sets up the log; prints "1...", "2..." or "3..." and returns false when
// a step fails.
bool StartLog() {
    if (!MyLog::Initialize("Dorvane")) {
        std::fputs("1...\n", stdout);
        return false;
    }
    g_pLog = MyLog::GetInstance();
    if (g_pLog == nullptr) {
        std::fputs("2...\n", stdout);
        return false;
    }
    std::snprintf(g_pLog->m_szLogFile, sizeof g_pLog->m_szLogFile, "%s", "Dorvane.txt");
    if (!g_pLog->GetWorkingDirectory()) {
        std::fputs("3...\n", stdout);
        return false;
    }
    return true;
}

// --- Configuration mode

// Prints why an argument cannot be stored and returns false when one is
// longer than download mode could read back.
bool ArgumentsFit(const char* szServerAddress, const char* szEmail, const char* szPassword) {
    const char* szProblem = nullptr;
    if (std::strlen(szServerAddress) > Dorvane::kMaxServerAddress) {
        szProblem = "The server address is longer than 4095 bytes";
    } else if (std::strlen(szEmail) > Dorvane::kMaxEmail) {
        szProblem = "The e-mail address is longer than 511 bytes";
    } else if (std::strlen(szPassword) > Dorvane::kMaxPassword) {
        szProblem = "The password is longer than 381 bytes";
    }
    if (szProblem == nullptr) return true;
    std::printf("%s; %s is not written.\n", szProblem, kConfigFile);
    return false;
}

void RunConfigurationMode(const char* szServerAddress, const char* szEmail, const char* szPassword) {
    if (!ArgumentsFit(szServerAddress, szEmail, szPassword)) return;
    // A regular file only (mode 0600 on POSIX: the cipher hides the
    // password from no one who can read the file).
    std::FILE* pFile = os::OpenFileWide(kConfigFileWide, "w", os::LinkPolicy::Follow);
    if (pFile == nullptr) {
        std::fputs("Failed to create a configuration file", stdout);
        return;
    }
    char szWork[512];
    std::snprintf(szWork, sizeof szWork, "%s", szPassword);
    bool bWritten = std::fprintf(pFile, "<__ServerAddress__>%s</__ServerAddress__>", szServerAddress) >= 0;
    bWritten = std::fprintf(pFile, "<__Email__>%s</__Email__>", szEmail) >= 0 && bWritten;
    bWritten = EncryptPassword(szWork, sizeof szWork, kCipherMode) && bWritten;
    bWritten = std::fprintf(pFile, "<__Password__>%s</__Password__>", szWork) >= 0 && bWritten;
    bWritten = std::fclose(pFile) == 0 && bWritten;
    std::fputs(bWritten ? "The configuration file, Ostrel.cfg, is created." : "Failed to create a configuration file",
               stdout);
}

// --- Download mode

// Reads the whole of an open file into a NUL-terminated text. A file that
// cannot be measured or read (a directory, say) reads as empty.
std::string ReadWhole(std::FILE* pFile) {
    if (std::fseek(pFile, 0, SEEK_END) != 0) return std::string();
    const long lSize = std::ftell(pFile);
    if (lSize <= 0 || lSize > kMaxConfigFileSize || std::fseek(pFile, 0, SEEK_SET) != 0) return std::string();
    std::string szContent(static_cast<std::size_t>(lSize), '\0');
    const std::size_t uRead = std::fread(&szContent[0], 1, szContent.size(), pFile);
    szContent.resize(uRead);
    return szContent;
}

// Reads the configuration file into *pSettings and deciphers the password.
// False when the file cannot be opened, or is not a regular file (a FIFO,
// a device, a directory: never waited on). Missing or oversized values
// stay empty.
bool ReadConfiguration(Settings* pSettings) {
    std::FILE* pFile = os::OpenFileWide(kConfigFileWide, "r", os::LinkPolicy::Follow);
    if (pFile == nullptr) return false;
    const std::string szContent = ReadWhole(pFile);
    const char* szText = szContent.c_str();
    ExtractTagValue(szText, "<__ServerAddress__>", "</__ServerAddress__>", pSettings->szServerAddress,
                    sizeof pSettings->szServerAddress);
    ExtractTagValue(szText, "<__Email__>", "</__Email__>", pSettings->szEmail, sizeof pSettings->szEmail);
    ExtractTagValue(szText, "<__Password__>", "</__Password__>", pSettings->szPassword, sizeof pSettings->szPassword);
    DecryptPassword(pSettings->szPassword, kCipherMode);
    std::fclose(pFile);
    return true;
}

bool HasFailureMarker(const DownloadResult* pResult) {
    return FindBytes(kFailureMarker, kFailureMarkerLength, pResult->pBody, pResult->iBodyLength) >= 0;
}

// Whether the body of a reply may be taken as the backup: a status line,
// when there is one, must say 2xx, and the body must be exactly as long as
// a declared Content-Length. Logs why a reply is refused.
bool IsCompleteBackup(const DownloadResult* pResult) {
    const int iStatus = ReplyStatusCode(pResult->pData, pResult->iDataLength);
    if (iStatus >= 0 && (iStatus < 200 || iStatus > 299)) {
        g_pLog->Write("Dorvane", 0, kSourceFile, kLineErrorReply, "Error reply: HTTP status %d", iStatus);
        return false;
    }
    std::int64_t iDeclared = 0;
    switch (DeclaredContentLength(pResult->pData, pResult->iHeaderEnd, &iDeclared)) {
        case DeclaredLength::None:
            return true;
        case DeclaredLength::Unreadable:
            LogDriver("Dorvane", kLineUnreadableLength, "Malformed reply: unreadable Content-Length");
            return false;
        case DeclaredLength::Valid:
            break;
    }
    if (pResult->iBodyLength == iDeclared) return true;
    const bool bShort = pResult->iBodyLength < iDeclared;
    g_pLog->Write("Dorvane", 0, kSourceFile, bShort ? kLineIncompleteReply : kLineOverlongReply,
                  "%s reply: Content-Length = %lld, received = %d", bShort ? "Incomplete" : "Overlong",
                  static_cast<long long>(iDeclared), pResult->iBodyLength);
    return false;
}

// A reply an attempt kept: the record, and whether it is a failure reply.
struct Reply {
    DownloadResult* pResult = nullptr;
    bool bFailureReply = false;
};

// One attempt: the reply, or no record (nothing kept) when it failed.
Reply Attempt(const Settings& settings, const Server& server) {
    Reply reply;
    reply.pResult = new DownloadResult{};
    const std::string szPassword = UrlEncode(settings.szPassword);
    const std::string szEmail = UrlEncode(settings.szEmail);
    const std::string szURL = server.szAddress + (":" + std::to_string(server.iPort)) + kServicePath +
                              "?Email=" + szEmail + "&Password=" + szPassword;
    bool bConnectFailed = false;
    const bool bOk = HTTPConnection::Download(szURL.c_str(), "", "", "", "", 0, kTimeoutSeconds, false,
                                              reply.pResult, &bConnectFailed);
    if (bOk && reply.pResult->iBodyLength > 0) {
        reply.bFailureReply = HasFailureMarker(reply.pResult);
        if (reply.bFailureReply || IsCompleteBackup(reply.pResult)) return reply;
    }
    DestroyResult(reply.pResult);
    return Reply();
}

// Up to two attempts, 3000 ms apart. No record when both failed (logged).
Reply Download(const Settings& settings, const Server& server) {
    for (int iAttempt = 1; iAttempt <= kAttempts; ++iAttempt) {
        const Reply reply = Attempt(settings, server);
        if (reply.pResult != nullptr) return reply;
        if (iAttempt == kAttempts) break;
        LogDriver("Dorvane", kLineRepeat, "Repeat to Dorvane");
        os::Sleep(kRetryPauseMs);
    }
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineGaveUp, "Failed to connect to %s", settings.szServerAddress);
    return Reply();
}

void ReportFailureReply(DownloadResult* pResult) {
    pResult->pBody[pResult->iBodyLength] = '\0';  // the spare byte
    char szReason[512] = "";
    ExtractTagValueCut(pResult->pBody, "<__Reason__>", "</__Reason__>", szReason, sizeof szReason);
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineFailureReply, "Failed: %s", szReason);
    std::printf("%s", szReason);
}

// Writes uLength bytes in slices of kWriteSlice: the system copies a
// moderate write into its file cache much faster than one huge one.
bool WriteInSlices(const char* pData, std::size_t uLength, std::FILE* pFile) {
    for (std::size_t uDone = 0; uDone < uLength;) {
        const std::size_t uSlice = std::min(kWriteSlice, uLength - uDone);
        if (std::fwrite(pData + uDone, 1, uSlice, pFile) != uSlice) return false;
        uDone += uSlice;
    }
    return true;
}

// Writes the body to "Database.<stamp>.db" through a temporary file in the
// same directory, so that a failed write never leaves a partial backup
// under the final name.
void SaveBody(const DownloadResult* pResult) {
    char szStamp[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* pLocal = std::localtime(&now)) std::strftime(szStamp, sizeof szStamp, "%Y%m%d%H%M%S", pLocal);
    char szFileName[512];
    std::snprintf(szFileName, sizeof szFileName, "Database.%s.db", szStamp);
    const std::string szPartName = std::string(szFileName) + ".part";
    std::FILE* pFile = std::fopen(szPartName.c_str(), "wb");
    if (pFile == nullptr) {
        const int iCode = winsock::WSAGetLastError();
        g_pLog->Write("Dorvane", 0, kSourceFile, kLineCannotOpen, "cannot open file %s, error code: %d, error: %s",
                      szFileName, iCode, GetSocketErrorText(iCode));
        return;
    }
    bool bSaved = WriteInSlices(pResult->pBody, static_cast<std::size_t>(pResult->iBodyLength), pFile);
    bSaved = std::fclose(pFile) == 0 && bSaved;
    bSaved = bSaved && os::ReplaceFile(szPartName.c_str(), szFileName);
    if (!bSaved) {
        const int iCode = os::LastSystemError();
        std::remove(szPartName.c_str());
        g_pLog->Write("Dorvane", 0, kSourceFile, kLineCannotWrite, "cannot write file %s, error code: %d, error: %s",
                      szFileName, iCode, GetSocketErrorText(iCode));
        return;
    }
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineCompleted, "Dorvane completed: File name = %s, size = %d", szFileName,
                  pResult->iBodyLength);
}

void RunDownloadMode() {
    Settings settings;
    if (!ReadConfiguration(&settings)) {
        std::fputs(kMissingConfigFirst, stdout);
        std::fputs(kUsageLast, stdout);
        return;
    }
    Server server;
    if (!Utility::GetDomainNameFromURL(settings.szServerAddress, server.szHost, server.iPort, server.szPath)) {
        LogDriver("Dorvane:main()", kLineSplitFailed, "Utility::GetDomainNameFromURL() returns false");
        return;
    }
    if (!Utility::GetIPAddressByName(server.szHost, server.szAddress)) {
        LogDriver("Dorvane:main()", kLineResolveFailed, "Utility::GetIPAddressByName() returns false");
        return;
    }
    const Reply reply = Download(settings, server);
    if (reply.pResult == nullptr) return;
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineDownloadSize, "iDownloadSize = %d", reply.pResult->iBodyLength);
    if (reply.bFailureReply) ReportFailureReply(reply.pResult);
    else SaveBody(reply.pResult);
    DestroyResult(reply.pResult);
}

}  // namespace

namespace Dorvane {

int Main(int argc, char* argv[]) {
    if (!StartLog()) return -1;
    if (argc == 1) {
        RunDownloadMode();
    } else if (argc == 4) {
        RunConfigurationMode(argv[1], argv[2], argv[3]);
    } else {
        g_pLog->Write("Dorvane:main()", 0, kSourceFile, kLineWrongArgc, "Wrong argc = %d", argc);
        std::fputs(kUsageFirst, stdout);
        std::fputs(kUsageLast, stdout);
    }
    return 0;
}

}  // namespace Dorvane
