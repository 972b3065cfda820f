#include "driver/Dorvane.h"

#include "SocketManager/DownloadResult.h"
#include "SocketManager/HTTPConnection.h"
#include "driver/BackupBody.h"
#include "driver/PasswordCipher.h"
#include "driver/Progress.h"
#include "driver/ReplyCheck.h"
#include "driver/TaggedText.h"
#include "log/MyLog.h"
#include "platform/Platform.h"
#include "utility/SocketErrorText.h"
#include "utility/Utility.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

const char kSourceFile[] = "driver/Dorvane";
const char kConfigFile[] = "Ostrel.cfg";
const char16_t kConfigFileWide[] = u"Ostrel.cfg";
const char kCipherMode[] = "A";
const char kServicePath[] = "/as/wapi/retrieve_db";
constexpr std::int32_t kTimeoutSeconds = 7;
constexpr int kAttempts = 2;
constexpr std::uint32_t kRetryPauseMs = 3000;
// A configuration file is a few kilobytes; anything past this is not one.
constexpr long kMaxConfigFileSize = 16L * 1024 * 1024;

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
constexpr int kLineEndedByError = 150;
constexpr int kLineTransferCoding = 151;
constexpr int kLinePartialContent = 152;
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
    bool bSecure = false;  // "https:": fetched over TLS
};

void LogDriver(const char* szLabel, int iLine, const char* szMessage) {
    g_pLog->Write(szLabel, 0, kSourceFile, iLine, "%s", szMessage);
}

// Frees a DownloadResult the way its owner must: its data block as an
// array, then the record.
struct DestroyResult {
    void operator()(DownloadResult* pResult) const {
        delete[] pResult->pData;
        pResult->pData = nullptr;
        delete pResult;
    }
};
using ResultPtr = std::unique_ptr<DownloadResult, DestroyResult>;

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

// Whether the status line, when there is one, says 2xx and not 206, and
// the body is not transfer-coded. Logs why a reply is refused.
bool IsWholeFileReply(const DownloadResult* pResult) {
    const int iStatus = ReplyStatusCode(pResult->pData, pResult->iDataLength);
    if (iStatus == 206) {
        LogDriver("Dorvane", kLinePartialContent, "Partial reply: HTTP status 206");
        return false;
    }
    if (iStatus >= 0 && (iStatus < 200 || iStatus > 299)) {
        g_pLog->Write("Dorvane", 0, kSourceFile, kLineErrorReply, "Error reply: HTTP status %d", iStatus);
        return false;
    }
    if (HasTransferCoding(pResult->pData, pResult->iHeaderEnd)) {
        LogDriver("Dorvane", kLineTransferCoding, "Refused reply: chunked or other transfer coding");
        return false;
    }
    return true;
}

// Whether the body of a reply may be taken as the backup: a whole-file
// reply whose body is exactly as long as a declared Content-Length, and,
// when the connection ended in an error, one that declared its length.
// Logs why a reply is refused.
bool IsCompleteBackup(const DownloadResult* pResult) {
    if (!IsWholeFileReply(pResult)) return false;
    std::int64_t iDeclared = 0;
    switch (DeclaredContentLength(pResult->pData, pResult->iHeaderEnd, &iDeclared)) {
        case DeclaredLength::None:
            if (!pResult->bEndedByError) return true;
            LogDriver("Dorvane", kLineEndedByError, "Incomplete reply: the connection ended with an error");
            return false;
        case DeclaredLength::Unreadable:
            LogDriver("Dorvane", kLineUnreadableLength, "Malformed reply: unreadable Content-Length");
            return false;
        case DeclaredLength::Valid:
            break;
    }
    if (pResult->iBodyLength == iDeclared) return true;
    const bool bShort = pResult->iBodyLength < iDeclared;
    g_pLog->Write("Dorvane", 0, kSourceFile, bShort ? kLineIncompleteReply : kLineOverlongReply,
                  "%s reply: Content-Length = %lld, received = %lld", bShort ? "Incomplete" : "Overlong",
                  static_cast<long long>(iDeclared), static_cast<long long>(pResult->iBodyLength));
    return false;
}

// What an attempt ended with.
enum class Outcome { Kept, Failed, Stop };

// A reply an attempt kept: the record, its body on disk, and whether it is
// a failure reply.
struct Reply {
    Outcome outcome = Outcome::Failed;
    ResultPtr pResult;
    std::unique_ptr<BackupBody> pBody;
    bool bFailureReply = false;
};

// Logs a failed file call ("open" or "write") with the system's code.
void LogFileFailure(int iLine, const char* szCall, const char* szFileName, int iCode) {
    g_pLog->Write("Dorvane", 0, kSourceFile, iLine, "cannot %s file %s, error code: %d, error: %s", szCall,
                  szFileName, iCode, GetSocketErrorText(iCode));
}

// Logs why the body could not be kept on disk: it will not be kept on the
// next attempt either.
void ReportBodyTrouble(const BackupBody& body) {
    const bool bCreate = body.Problem() == BackupBody::Trouble::CannotCreate;
    LogFileFailure(bCreate ? kLineCannotOpen : kLineCannotWrite, bCreate ? "open" : "write", body.FileName(),
                   body.SystemError());
}

// One attempt: the reply with its body on disk (Kept), nothing kept
// (Failed), or a body that could not be stored (Stop, logged).
Reply Attempt(const Settings& settings, const Server& server, Progress* pProgress) {
    Reply reply;
    reply.pBody.reset(new BackupBody(pProgress));
    reply.pResult.reset(new DownloadResult{});
    reply.pResult->pBodyDestination = reply.pBody.get();
    const std::string szPassword = UrlEncode(settings.szPassword);
    const std::string szEmail = UrlEncode(settings.szEmail);
    // Over TLS the request names the configured host, which the certificate
    // is checked against; the address found here serves if the exchange's
    // own look-up fails.
    const std::string szServer = server.bSecure ? "https://" + std::string(server.szHost) : server.szAddress;
    const std::string szURL = szServer + (":" + std::to_string(server.iPort)) + kServicePath + "?Email=" + szEmail +
                              "&Password=" + szPassword;
    bool bConnectFailed = false;
    const bool bOk = HTTPConnection::Download(szURL.c_str(), server.bSecure ? server.szAddress : "", "", "", "", 0,
                                              kTimeoutSeconds, false, reply.pResult.get(), &bConnectFailed);
    pProgress->Clear();
    if (reply.pBody->Problem() != BackupBody::Trouble::None) {
        ReportBodyTrouble(*reply.pBody);
        reply.outcome = Outcome::Stop;
    } else if (bOk && reply.pResult->iBodyLength > 0) {
        reply.bFailureReply = reply.pBody->HasFailureMarker();
        if (reply.bFailureReply || IsCompleteBackup(reply.pResult.get())) reply.outcome = Outcome::Kept;
    }
    if (reply.outcome == Outcome::Kept) return reply;
    reply.pResult.reset();
    reply.pBody.reset();
    return reply;
}

// Up to two attempts, 3000 ms apart. No record when both failed (logged)
// or the body could not be stored.
Reply Download(const Settings& settings, const Server& server, Progress* pProgress) {
    for (int iAttempt = 1; iAttempt <= kAttempts; ++iAttempt) {
        Reply reply = Attempt(settings, server, pProgress);
        if (reply.outcome == Outcome::Kept) return reply;
        if (reply.outcome == Outcome::Stop) return Reply();
        if (iAttempt == kAttempts) break;
        LogDriver("Dorvane", kLineRepeat, "Repeat to Dorvane");
        os::Sleep(kRetryPauseMs);
    }
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineGaveUp, "Failed to connect to %s", settings.szServerAddress);
    return Reply();
}

// Replaces the control bytes of a server's text, but for line feed and
// tab, with "?", so that it cannot drive the terminal or forge lines.
void MakePrintable(char* szText) {
    for (char* p = szText; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) *p = '?';
    }
}

void ReportFailureReply(BackupBody& body) {
    body.Drop();
    char szReason[512] = "";
    body.Reason(szReason, sizeof szReason);
    MakePrintable(szReason);
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineFailureReply, "Failed: %s", szReason);
    std::printf("%s", szReason);
}

// Gives the staged body its final name, "Database.<local time now>.db";
// a failure leaves nothing behind.
void SaveBody(BackupBody& body, std::int64_t iSize) {
    char szStamp[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* pLocal = std::localtime(&now)) std::strftime(szStamp, sizeof szStamp, "%Y%m%d%H%M%S", pLocal);
    char szFileName[512];
    std::snprintf(szFileName, sizeof szFileName, "Database.%s.db", szStamp);
    if (!body.Keep(szFileName)) {
        LogFileFailure(kLineCannotWrite, "write", szFileName, body.SystemError());
        return;
    }
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineCompleted, "Dorvane completed: File name = %s, size = %lld",
                  szFileName, static_cast<long long>(iSize));
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
    server.bSecure = Utility::IsSecureURL(settings.szServerAddress);
    if (!Utility::GetIPAddressByName(server.szHost, server.szAddress)) {
        LogDriver("Dorvane:main()", kLineResolveFailed, "Utility::GetIPAddressByName() returns false");
        return;
    }
    // A person at a terminal sees the download's progress on standard
    // error; anything else sees exactly what it always did.
    Progress progress(os::IsTerminal(stderr) ? stderr : nullptr);
    Reply reply = Download(settings, server, &progress);
    if (reply.pResult == nullptr) return;
    const std::int64_t iSize = reply.pResult->iBodyLength;
    reply.pResult.reset();
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineDownloadSize, "iDownloadSize = %lld", static_cast<long long>(iSize));
    if (reply.bFailureReply) ReportFailureReply(*reply.pBody);
    else SaveBody(*reply.pBody, iSize);
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
