#include "driver/Dorvane.h"

#include "SocketManager/DownloadResult.h"
#include "SocketManager/HTTPConnection.h"
#include "SocketManager/Proxy.h"
#include "driver/BackupBody.h"
#include "driver/PasswordCipher.h"
#include "driver/Progress.h"
#include "driver/TaggedText.h"
#include "driver/Verdict.h"
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

// Log lines of the driver's records; those about replies are in Verdict.cpp.
constexpr int kLineWrongArgc = 45;
constexpr int kLineConfigTooLarge = 110;
constexpr int kLineSplitFailed = 120;
constexpr int kLineAddressRefused = 121;
constexpr int kLineMiswrittenHost = 122;
constexpr int kLineResolveFailed = 126;
constexpr int kLineDownloadSize = 144;
constexpr int kLineFailureReply = 154;
constexpr int kLineCannotOpen = 177;
constexpr int kLineCompleted = 184;
constexpr int kLineCompletedNotDatabase = 185;
constexpr int kLineCannotWrite = 186;
constexpr int kLineRepeat = 199;
constexpr int kLineGaveUp = 205;

using namespace Dorvane;

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

// What is wrong with a server address, completing "The server address "
// on the console and "Refused server address: it " in the log; null when
// nothing is.
const char* AddressFaultText(Utility::AddressFault fault) {
    switch (fault) {
        case Utility::AddressFault::WhiteSpace:
            return "begins or ends with white space";
        case Utility::AddressFault::NearHttps:
            return "has a mistyped scheme: write https://host (or http://host)";
        case Utility::AddressFault::None:
            break;
    }
    return nullptr;
}

// --- Configuration mode

// Prints why an argument cannot be stored and returns false when one is
// longer than download mode could read back, or the server address is
// one download mode would refuse.
bool ArgumentsFit(const char* szServerAddress, const char* szEmail, const char* szPassword) {
    const char* szProblem = nullptr;
    if (std::strlen(szServerAddress) > Dorvane::kMaxServerAddress) {
        szProblem = "The server address is longer than 4095 bytes";
    } else if (std::strlen(szEmail) > Dorvane::kMaxEmail) {
        szProblem = "The e-mail address is longer than 511 bytes";
    } else if (std::strlen(szPassword) > Dorvane::kMaxPassword) {
        szProblem = "The password is longer than 381 bytes";
    }
    const char* szFault = AddressFaultText(Utility::CheckServerAddress(szServerAddress));
    if (szProblem == nullptr && szFault == nullptr) return true;
    if (szProblem != nullptr) {
        std::printf("%s; %s is not written.\n", szProblem, kConfigFile);
    } else {
        std::printf("The server address %s; %s is not written.\n", szFault, kConfigFile);
    }
    return false;
}

// The configuration file's bytes: the three values in tagged form, the
// password enciphered. False when the password cannot be enciphered.
bool ConfigurationText(const char* szServerAddress, const char* szEmail, const char* szPassword, std::string* pText) {
    char szWork[512];
    std::snprintf(szWork, sizeof szWork, "%s", szPassword);
    if (!EncryptPassword(szWork, sizeof szWork, kCipherMode)) return false;
    *pText = std::string("<__ServerAddress__>") + szServerAddress + "</__ServerAddress__><__Email__>" + szEmail +
             "</__Email__><__Password__>" + szWork + "</__Password__>";
    return true;
}

// Writes Ostrel.cfg as a new file beside the old one (mode 0600 on POSIX:
// the cipher hides the password from no one who can read the file) and
// renames it over the old one only once it is whole and on disk, so that a
// failure (a full disk, say) leaves the old file as it was.
int RunConfigurationMode(const char* szServerAddress, const char* szEmail, const char* szPassword) {
    if (!ArgumentsFit(szServerAddress, szEmail, szPassword)) return kExitUsage;
    std::string text;
    os::StagedFile file;
    const bool bWritten = ConfigurationText(szServerAddress, szEmail, szPassword, &text) &&
                          file.Create("Ostrel.cfg.", ".part") && file.Write(text.data(), text.size()) &&
                          file.Commit(kConfigFile);
    // A configuration that could not take its name is of no use under
    // another: the old file stays as it was, and nothing else is left.
    if (!bWritten) file.DiscardKept();
    std::fputs(bWritten ? "The configuration file, Ostrel.cfg, is created." : "Failed to create a configuration file",
               stdout);
    return bWritten ? kExitDone : kExitFile;
}

// --- Download mode

// Reads the whole of an open file into *pContent. A file that cannot be
// measured or read (a directory, say) reads as empty. False, after
// logging, when the file is larger than a configuration file can be.
bool ReadWhole(std::FILE* pFile, std::string* pContent) {
    pContent->clear();
    if (std::fseek(pFile, 0, SEEK_END) != 0) return true;
    const long lSize = std::ftell(pFile);
    if (lSize > kMaxConfigFileSize) {
        g_pLog->Write("Dorvane:main()", 0, kSourceFile, kLineConfigTooLarge,
                      "Configuration file too large: %ld bytes, at most %ld", lSize, kMaxConfigFileSize);
        return false;
    }
    if (lSize <= 0 || std::fseek(pFile, 0, SEEK_SET) != 0) return true;
    pContent->assign(static_cast<std::size_t>(lSize), '\0');
    const std::size_t uRead = std::fread(&(*pContent)[0], 1, pContent->size(), pFile);
    pContent->resize(uRead);
    return true;
}

// Reads the configuration file into *pSettings and deciphers the password.
// False when the file cannot be opened, is not a regular file (a FIFO, a
// device, a directory: never waited on) or is too large (logged). Missing
// or oversized values stay empty.
bool ReadConfiguration(Settings* pSettings) {
    std::FILE* pFile = os::OpenFileWide(kConfigFileWide, "r", os::LinkPolicy::Follow);
    if (pFile == nullptr) return false;
    std::string szContent;
    const bool bRead = ReadWhole(pFile, &szContent);
    std::fclose(pFile);
    if (!bRead) return false;
    const char* szText = szContent.c_str();
    ExtractTagValue(szText, "<__ServerAddress__>", "</__ServerAddress__>", pSettings->szServerAddress,
                    sizeof pSettings->szServerAddress);
    ExtractTagValue(szText, "<__Email__>", "</__Email__>", pSettings->szEmail, sizeof pSettings->szEmail);
    ExtractTagValue(szText, "<__Password__>", "</__Password__>", pSettings->szPassword, sizeof pSettings->szPassword);
    DecryptPassword(pSettings->szPassword, kCipherMode);
    return true;
}

// What an attempt ended with.
enum class Outcome { Kept, Failed, Stop };

// A reply an attempt kept: the record, its body on disk, and whether it is
// a failure reply; and for every attempt, the exit status it gives the run
// when it is the last.
struct Reply {
    Outcome outcome = Outcome::Failed;
    int iStatus = kExitNetwork;
    ResultPtr pResult;
    std::unique_ptr<BackupBody> pBody;
    bool bFailureReply = false;
};

// Logs a failed file call ("open" or "write") with the system's code.
void LogFileFailure(int iLine, const char* szCall, const char* szFileName, int iCode) {
    g_pLog->Write("Dorvane", 0, kSourceFile, iLine, "cannot %s file %s, error code: %d, error: %s", szCall, szFileName,
                  iCode, GetSocketErrorText(iCode));
}

// Logs why the body could not be kept on disk: it will not be kept on the
// next attempt either.
void ReportBodyTrouble(const BackupBody& body) {
    const bool bCreate = body.Problem() == BackupBody::Trouble::CannotCreate;
    LogFileFailure(bCreate ? kLineCannotOpen : kLineCannotWrite, bCreate ? "open" : "write", body.FileName(),
                   body.SystemError());
}

// Judges a finished attempt into *pReply: its outcome and exit status.
// A failure reply is found even when its body could not be stored; any
// other body that could not be stored stops the run (logged).
void JudgeAttempt(bool bOk, Reply* pReply) {
    const DownloadResult& result = *pReply->pResult;
    const BackupBody& body = *pReply->pBody;
    const bool bReplied = bOk && result.iBodyLength > 0;
    pReply->bFailureReply = bReplied && body.HasFailureMarker();
    if (pReply->bFailureReply) {
        pReply->outcome = Outcome::Kept;
        pReply->iStatus = kExitRefused;
    } else if (body.Problem() != BackupBody::Trouble::None) {
        ReportBodyTrouble(body);
        pReply->outcome = Outcome::Stop;
        pReply->iStatus = kExitFile;
    } else if (!bOk) {
        pReply->iStatus = ExchangeFailureStatus(result.eFailure);
    } else {
        pReply->iStatus = JudgeReply(result, body.Start(), body.Lead());
        if (pReply->iStatus == kExitDone) pReply->outcome = Outcome::Kept;
    }
}

// One attempt: the reply with its body on disk, or a failure reply
// (Kept), nothing kept (Failed), or a body that could not be stored
// (Stop, logged).
Reply Attempt(const Settings& settings, const Server& server, Progress* pProgress) {
    Reply reply;
    reply.pBody.reset(new BackupBody(pProgress));
    reply.pResult.reset(new DownloadResult{});
    reply.pResult->pBodyDestination = reply.pBody.get();
    const std::string szPassword = UrlEncode(settings.szPassword);
    const std::string szEmail = UrlEncode(settings.szEmail);
    // The request names the configured host, which a name-based virtual
    // host and a certificate are chosen by; the address found here serves if
    // the exchange's own look-up fails.
    const std::string szServer = (server.bSecure ? "https://" : "http://") + Utility::BracketedHost(server.szHost);
    const std::string szURL = szServer + (":" + std::to_string(server.iPort)) + kServicePath + "?Email=" + szEmail +
                              "&Password=" + szPassword;
    bool bConnectFailed = false;
    const bool bOk = HTTPConnection::Download(szURL.c_str(), server.szAddress, "", "", "", 0, kTimeoutSeconds, false,
                                              reply.pResult.get(), &bConnectFailed);
    pProgress->Clear();
    JudgeAttempt(bOk, &reply);
    if (reply.outcome == Outcome::Kept) return reply;
    reply.pResult.reset();
    reply.pBody.reset();
    return reply;
}

// Up to two attempts, 3000 ms apart: the last one's. Its record is kept
// only when it is Kept; both failing is logged.
Reply Download(const Settings& settings, const Server& server, Progress* pProgress) {
    for (int iAttempt = 1;; ++iAttempt) {
        Reply reply = Attempt(settings, server, pProgress);
        if (reply.outcome != Outcome::Failed) return reply;
        if (iAttempt == kAttempts) {
            g_pLog->Write("Dorvane", 0, kSourceFile, kLineGaveUp, "Failed to connect to %s", settings.szServerAddress);
            return reply;
        }
        LogDriver("Dorvane", kLineRepeat, "Repeat to Dorvane");
        os::Sleep(kRetryPauseMs);
    }
}

// The length of the well-formed UTF-8 sequence that starts at p, of the
// uLeft bytes there, or 0 when none does (a stray or overlong byte, a
// surrogate, a code point past U+10FFFF).
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t uLeft) {
    std::size_t uLength = 0;
    unsigned char uLow = 0x80, uHigh = 0xbf;  // the bounds of the second byte
    if (p[0] >= 0xc2 && p[0] <= 0xdf) {
        uLength = 2;
    } else if (p[0] >= 0xe0 && p[0] <= 0xef) {
        uLength = 3;
        if (p[0] == 0xe0) uLow = 0xa0;
        if (p[0] == 0xed) uHigh = 0x9f;
    } else if (p[0] >= 0xf0 && p[0] <= 0xf4) {
        uLength = 4;
        if (p[0] == 0xf0) uLow = 0x90;
        if (p[0] == 0xf4) uHigh = 0x8f;
    }
    if (uLength == 0 || uLeft < uLength || p[1] < uLow || p[1] > uHigh) return 0;
    for (std::size_t i = 2; i < uLength; ++i) {
        if (p[i] < 0x80 || p[i] > 0xbf) return 0;
    }
    return uLength;
}

// Replaces, in place, each control character of a server's text with one
// "?", so that it can neither drive a terminal nor forge a log record: the
// C0 bytes (but tab, and line feed when bKeepLineFeeds), DEL, the C1 code
// points U+0080 to U+009F, and the bytes 0x80 to 0x9F that are not part
// of well-formed UTF-8. Other text, valid or not, stays as it is.
void MakePrintable(char* szText, bool bKeepLineFeeds) {
    unsigned char* pOut = reinterpret_cast<unsigned char*>(szText);
    const unsigned char* p = pOut;
    std::size_t uLeft = std::strlen(szText);
    while (uLeft > 0) {
        const unsigned char c = *p;
        std::size_t uTake = c < 0x80 ? 1 : Utf8SequenceLength(p, uLeft);
        bool bControl = false;
        if (c < 0x80)
            bControl = (c < 0x20 && c != '\t' && (c != '\n' || !bKeepLineFeeds)) || c == 0x7f;
        else if (uTake == 0)
            bControl = c <= 0x9f;
        else
            bControl = c == 0xc2 && p[1] <= 0x9f;
        if (uTake == 0) uTake = 1;
        if (bControl) {
            *pOut++ = '?';
        } else {
            std::memmove(pOut, p, uTake);
            pOut += uTake;
        }
        p += uTake;
        uLeft -= uTake;
    }
    *pOut = '\0';
}

// Prints the failure reply's reason as the service gave it, line feeds
// included, and logs it on one line: a reason cannot forge a record.
void ReportFailureReply(BackupBody& body) {
    body.Drop();
    char szReason[512] = "";
    body.Reason(szReason, sizeof szReason);
    MakePrintable(szReason, true);
    char szLogged[sizeof szReason];
    std::memcpy(szLogged, szReason, sizeof szReason);
    MakePrintable(szLogged, false);
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineFailureReply, "Failed: %s", szLogged);
    os::WriteText(stdout, szReason);
}

// Gives the staged body its final name, "Database.<local time now>.db";
// false when that fails (logged), with nothing left behind unless the whole
// backup stays under its staged name.
bool SaveBody(BackupBody& body, std::int64_t iSize) {
    char szStamp[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* pLocal = std::localtime(&now)) std::strftime(szStamp, sizeof szStamp, "%Y%m%d%H%M%S", pLocal);
    char szFileName[512];
    std::snprintf(szFileName, sizeof szFileName, "Database.%s.db", szStamp);
    if (!body.Keep(szFileName)) {
        // A backup that could not take its final name but is whole is named
        // where it stays, so that it can be recovered by hand.
        LogFileFailure(kLineCannotWrite, "write", body.KeptAsStaged() ? body.FileName() : szFileName,
                       body.SystemError());
        return false;
    }
    if (body.IsDatabase()) {
        g_pLog->Write("Dorvane", 0, kSourceFile, kLineCompleted, "Dorvane completed: File name = %s, size = %lld",
                      szFileName, static_cast<long long>(iSize));
    } else {
        g_pLog->Write("Dorvane", 0, kSourceFile, kLineCompletedNotDatabase,
                      "Dorvane completed: File name = %s, size = %lld, not an SQLite database", szFileName,
                      static_cast<long long>(iSize));
    }
    return true;
}

// Reads the configuration, splits and resolves its server into *pServer.
// Returns kExitDone, or the exit status of the step that failed (logged,
// or the missing-file texts printed).
int PrepareDownload(Settings* pSettings, Server* pServer) {
    if (!ReadConfiguration(pSettings)) {
        std::fputs(kMissingConfigFirst, stdout);
        std::fputs(kUsageLast, stdout);
        return kExitUsage;
    }
    if (const char* szFault = AddressFaultText(Utility::CheckServerAddress(pSettings->szServerAddress))) {
        g_pLog->Write("Dorvane:main()", 0, kSourceFile, kLineAddressRefused, "Refused server address: it %s", szFault);
        return kExitUsage;
    }
    if (!Utility::GetDomainNameFromURL(pSettings->szServerAddress, pServer->szHost, pServer->iPort, pServer->szPath)) {
        LogDriver("Dorvane:main()", kLineSplitFailed, "Utility::GetDomainNameFromURL() returns false");
        return kExitUsage;
    }
    char szCanonical[16];
    if (Utility::IsMiswrittenAddress(pServer->szHost, szCanonical)) {
        g_pLog->Write("Dorvane:main()", 0, kSourceFile, kLineMiswrittenHost,
                      "Refused server address: a numeric host must be written %s", szCanonical);
        return kExitUsage;
    }
    pServer->bSecure = Utility::IsSecureURL(pSettings->szServerAddress);
    // Through a proxy, the proxy resolves the server's name.
    const bool bProxy = EnvironmentProxy(pServer->bSecure, pServer->szHost).eKind == ProxyChoice::Kind::Proxy;
    if (!bProxy && !Utility::GetIPAddressByName(pServer->szHost, pServer->szAddress)) {
        LogDriver("Dorvane:main()", kLineResolveFailed, "Utility::GetIPAddressByName() returns false");
        return kExitNetwork;
    }
    return kExitDone;
}

int RunDownloadMode() {
    Settings settings;
    Server server;
    const int iPrepared = PrepareDownload(&settings, &server);
    if (iPrepared != kExitDone) return iPrepared;
    // A person at a terminal sees the download's progress on standard
    // error; anything else sees exactly what it always did.
    Progress progress(os::IsTerminal(stderr) ? stderr : nullptr);
    Reply reply = Download(settings, server, &progress);
    if (reply.pResult == nullptr) return reply.iStatus;
    const std::int64_t iSize = reply.pResult->iBodyLength;
    reply.pResult.reset();
    g_pLog->Write("Dorvane", 0, kSourceFile, kLineDownloadSize, "iDownloadSize = %lld", static_cast<long long>(iSize));
    if (reply.bFailureReply) {
        ReportFailureReply(*reply.pBody);
        return kExitRefused;
    }
    return SaveBody(*reply.pBody, iSize) ? kExitDone : kExitFile;
}

}  // namespace

namespace Dorvane {

int Main(int argc, char* argv[]) {
    // Before anything can be written: a closed pipe never ends the run, and
    // a signal that would end it removes the staged file first.
    os::InstallSignalHandling();
    if (!StartLog()) return kExitNoLog;
    if (argc == 1) return RunDownloadMode();
    if (argc == 4) return RunConfigurationMode(argv[1], argv[2], argv[3]);
    g_pLog->Write("Dorvane:main()", 0, kSourceFile, kLineWrongArgc, "Wrong argc = %d", argc);
    std::fputs(kUsageFirst, stdout);
    std::fputs(kUsageLast, stdout);
    return kExitUsage;
}

}  // namespace Dorvane
