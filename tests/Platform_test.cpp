// The platform layer's contract, checked the same way on every system.
#include "platform/Platform.h"
#include "support/TestFiles.h"
#include "support/TestProcess.h"
#include "support/TestSeam.h"
#include "support/TestSockets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace winsock;

struct SeamReset {
    ~SeamReset() { seam::Reset(); }
};

// A UTF-8 path as the platform's wide calls take it; one that does not
// convert fails the test.
class WidePath {
public:
    explicit WidePath(const std::string& path) {
        if (os::Utf8ToWide(path.c_str(), -1, m_wszPath, 512) <= 0) ADD_FAILURE() << "no UTF-16 form: " << path;
    }
    operator const char16_t*() const { return m_wszPath; }

private:
    char16_t m_wszPath[512] = {};
};

SockAddrIn Loopback(std::uint16_t uNetPort) {
    SockAddrIn address{};
    address.sin_family = static_cast<std::uint16_t>(kAfInet);
    address.sin_port = uNetPort;
    address.sin_addr = inet_addr("127.0.0.1");
    return address;
}

// A listening socket on a port the system picks.
SOCKET Listen(SockAddrIn* pAddress) {
    const SOCKET s = socket(kAfInet, kSockStream, 0);
    *pAddress = Loopback(0);
    int iLength = sizeof *pAddress;
    if (s == kInvalidSocket || bind(s, pAddress, sizeof *pAddress) != 0 || listen(s, 4) != 0 ||
        getsockname(s, pAddress, &iLength) != 0) {
        return kInvalidSocket;
    }
    return s;
}

// A loopback connection: the listener it came through, our end and the
// server's. The test closes all three.
struct Connection {
    SOCKET listener = kInvalidSocket;
    SOCKET client = kInvalidSocket;
    SOCKET server = kInvalidSocket;
};

Connection ConnectOverLoopback() {
    Connection c;
    SockAddrIn address;
    c.listener = Listen(&address);
    EXPECT_NE(c.listener, kInvalidSocket);
    c.client = socket(kAfInet, kSockStream, 0);
    EXPECT_EQ(connect(c.client, &address, sizeof address), 0) << WSAGetLastError();
    c.server = accept(c.listener, nullptr, nullptr);
    EXPECT_NE(c.server, kInvalidSocket);
    return c;
}

TEST(Platform, LoopbackExchangeEndsWithOrderlyClose) {
    const auto [listener, client, server] = ConnectOverLoopback();
    ASSERT_NE(server, kInvalidSocket);

    EXPECT_EQ(send(client, "hello", 5, 0), 5);
    char aBuffer[16] = {};
    ASSERT_EQ(recv(server, aBuffer, sizeof aBuffer, 0), 5);
    EXPECT_EQ(std::string(aBuffer, 5), "hello");
    EXPECT_EQ(shutdown(client, kSdSend), 0);
    EXPECT_EQ(recv(server, aBuffer, sizeof aBuffer, 0), 0);

    EXPECT_EQ(closesocket(server), 0);
    EXPECT_EQ(closesocket(client), 0);
    EXPECT_EQ(closesocket(listener), 0);
}

TEST(Platform, FailedNonBlockingConnectShowsInExceptionSetWithItsError) {
    SockAddrIn address;
    const SOCKET listener = Listen(&address);
    ASSERT_NE(listener, kInvalidSocket);
    closesocket(listener);  // nobody listens on the port now

    const SOCKET s = socket(kAfInet, kSockStream, 0);
    std::uint32_t uNonBlocking = 1;
    ASSERT_EQ(ioctlsocket(s, kFionbio, &uNonBlocking), 0);
    ASSERT_EQ(connect(s, &address, sizeof address), kSocketError);
    ASSERT_EQ(WSAGetLastError(), kWsaEWouldBlock);

    for (int iRound = 0; iRound < 2; ++iRound) {  // the failure stays reported
        FdSet readSet, writeSet, exceptSet;
        FdZero(&readSet);
        FdZero(&writeSet);
        FdZero(&exceptSet);
        FdAdd(s, &readSet);
        FdAdd(s, &writeSet);
        FdAdd(s, &exceptSet);
        WSASetLastError(0);
        const TimeVal wait{10, 0};
        EXPECT_EQ(select(0, &readSet, &writeSet, &exceptSet, &wait), 1);
        EXPECT_TRUE(FdIsSet(s, &exceptSet));
        EXPECT_FALSE(FdIsSet(s, &readSet));
        EXPECT_FALSE(FdIsSet(s, &writeSet));
        EXPECT_EQ(WSAGetLastError(), 10061);  // connection refused
    }
    closesocket(s);
}

// Winsock fails a select() that is given no socket at all, and wants every
// set it is given to hold one: an empty set counts as no set.
TEST(Platform, SelectTakesEmptySetsAsNullAndFailsWithNoSocketAtAll) {
    FdSet readSet, writeSet, exceptSet;
    FdZero(&readSet);
    FdZero(&writeSet);
    FdZero(&exceptSet);
    const TimeVal wait{3, 0};
    WSASetLastError(0);
    EXPECT_EQ(select(0, nullptr, nullptr, nullptr, &wait), kSocketError);
    EXPECT_EQ(WSAGetLastError(), kWsaEInval);
    WSASetLastError(0);
    EXPECT_EQ(select(0, &readSet, &writeSet, &exceptSet, &wait), kSocketError);
    EXPECT_EQ(WSAGetLastError(), kWsaEInval);

    const auto [listener, client, server] = ConnectOverLoopback();
    ASSERT_EQ(send(client, "x", 1, 0), 1);
    FdAdd(server, &readSet);
    FdAdd(server, &exceptSet);
    EXPECT_EQ(select(0, &readSet, &writeSet, &exceptSet, &wait), 1);
    EXPECT_TRUE(FdIsSet(server, &readSet));
    EXPECT_EQ(writeSet.fd_count, 0u);
    EXPECT_EQ(exceptSet.fd_count, 0u);
    closesocket(server);
    closesocket(client);
    closesocket(listener);
}

TEST(Platform, ArmedFailureFailsTheNextCallsOnly) {
    SeamReset reset;
    seam::FailNext(seam::Call::Socket, 10050, 2);
    EXPECT_EQ(socket(kAfInet, kSockStream, 0), kInvalidSocket);
    EXPECT_EQ(WSAGetLastError(), 10050);
    EXPECT_EQ(socket(kAfInet, kSockStream, 0), kInvalidSocket);
    const SOCKET s = socket(kAfInet, kSockStream, 0);
    EXPECT_NE(s, kInvalidSocket);
    closesocket(s);
}

TEST(Platform, SocketErrorOutlivesAFailedFileCall) {
    SeamReset reset;
    seam::FailNext(seam::Call::Send, 10053);
    EXPECT_EQ(send(kInvalidSocket, "x", 1, 0), kSocketError);
    EXPECT_EQ(os::OpenFileWide(u"no-such-directory/file.txt", "r"), nullptr);
    EXPECT_EQ(WSAGetLastError(), 10053);
}

TEST(Platform, HostDatabaseKnowsLocalhostButNotAnInvalidName) {
    const HostEnt* pEntry = gethostbyname("localhost");
    ASSERT_NE(pEntry, nullptr);
    ASSERT_NE(pEntry->h_addr_list[0], nullptr);
    EXPECT_EQ(pEntry->h_length, 4);
    std::uint32_t uAddress;
    std::memcpy(&uAddress, pEntry->h_addr_list[0], sizeof uAddress);
    EXPECT_EQ(std::string(inet_ntoa(uAddress)).rfind("127.", 0), 0u);
    EXPECT_EQ(inet_addr("not an address"), kInaddrNone);
    EXPECT_EQ(gethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_GE(WSAGetLastError(), 11001);
    EXPECT_LE(WSAGetLastError(), 11004);
}

// The text the name service gives for a scripted name, or "<none>".
std::string LookedUp(const char* szName) {
    char szText[64];
    std::uint32_t uSize = sizeof szText;
    return LookupHostAddress(szName, szText, &uSize) ? std::string(szText) : std::string("<none>");
}

TEST(Platform, ScriptedNameServiceAnswerReadsBackAsText) {
    SeamReset reset;
    seam::ScriptNameService("backup.test", {seam::MakeIpv4Address("10.1.2.3", 8080), seam::MakeUnconvertibleAddress(),
                                            seam::MakeIpv4Address("10.1.2.4", 0)});
    seam::ScriptNameService("second.test", {seam::MakeUnconvertibleAddress(), seam::MakeIpv4Address("10.1.2.4", 0)});
    seam::ScriptNameService("none.test", {seam::MakeUnconvertibleAddress()});
    seam::ScriptNameService("large.test", std::vector<seam::ScriptedAddress>(80, seam::MakeIpv4Address("10.1.2.5", 0)));
    EXPECT_EQ(LookedUp("large.test"), "<none>");  // does not fit
    EXPECT_EQ(WSAGetLastError(), kWsaEFault);

    EXPECT_EQ(LookedUp("backup.test"), "10.1.2.3:8080");
    EXPECT_EQ(LookedUp("none.test"), "<none>");
    EXPECT_EQ(WSAGetLastError(), 10110);  // no more answers
    EXPECT_EQ(LookedUp("second.test"), "10.1.2.4");
}

TEST(Platform, AddressTextThatDoesNotFitFailsAndGivesTheSizeNeeded) {
    SeamReset reset;
    seam::ScriptNameService("wide.test", {seam::MakeIpv4Address("192.168.100.200", 65000)});
    char szText[8];
    std::uint32_t uSize = sizeof szText;
    EXPECT_FALSE(LookupHostAddress("wide.test", szText, &uSize));
    EXPECT_EQ(WSAGetLastError(), kWsaEFault);
    EXPECT_EQ(uSize, 22u);  // "192.168.100.200:65000" and its terminator
}

TEST(Platform, Utf8AndUtf16ConvertBothWaysWithWindowsResults) {
    const char* szText = "Gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80";  // "Grüß " and U+1F600
    EXPECT_EQ(os::Utf8ToWide(szText, -1, nullptr, 0), 8);
    char16_t wszText[8];
    ASSERT_EQ(os::Utf8ToWide(szText, -1, wszText, 8), 8);
    EXPECT_EQ(wszText[2], u'\u00fc');
    EXPECT_EQ(wszText[5], 0xD83D);
    char16_t wszSmall[4];
    EXPECT_EQ(os::Utf8ToWide(szText, -1, wszSmall, 4), 0);
    char szBack[16];
    ASSERT_EQ(os::WideToUtf8(wszText, -1, szBack, sizeof szBack), 12);
    EXPECT_STREQ(szBack, szText);
    EXPECT_EQ(os::WideToUtf8(wszText, -1, szBack, 5), 0);
}

TEST(Platform, TempPathEndsWithSeparatorAndExists) {
    char16_t wszTemp[512];
    const std::uint32_t uLength = os::GetTempPathWide(512, wszTemp);
    ASSERT_GT(uLength, 0u);
    ASSERT_LT(uLength, 512u);
    EXPECT_TRUE(wszTemp[uLength - 1] == u'\\' || wszTemp[uLength - 1] == u'/');
    EXPECT_TRUE(os::PathExists(wszTemp));
    char16_t wszTiny[1];
    EXPECT_GT(os::GetTempPathWide(1, wszTiny), 0u);
}

TEST(Platform, FilesOpenCopyAndReplaceByName) {
    testsupport::TempDir directory;
    const std::string first = directory.File("first.txt");
    const std::string second = directory.File("second.txt");
    const WidePath wszFirst(first), wszSecond(second);

    std::FILE* pFile = os::OpenFileWide(wszFirst, "w");
    ASSERT_NE(pFile, nullptr);
    std::fputs("one\ntwo\n", pFile);
    std::fclose(pFile);
    EXPECT_EQ(testsupport::FromTextMode(testsupport::ReadFile(first)), "one\ntwo\n");

    testsupport::WriteFile(second, "old");
    EXPECT_TRUE(os::CopyFileReplacing(wszFirst, wszSecond));
    EXPECT_EQ(testsupport::ReadFile(second), testsupport::ReadFile(first));

    std::filesystem::remove(first);
    EXPECT_FALSE(os::PathExists(wszFirst));
    EXPECT_EQ(os::OpenFileWide(wszFirst, "r"), nullptr);
    EXPECT_NE(os::LastSystemError(), 0);
}

// A staged file is always a new one; it replaces the final name whole, or,
// when it cannot, goes away and leaves that name as it was.
TEST(Platform, StagedFileIsNewAndTakesItsNameWholeOrNotAtAll) {
    testsupport::TempDir directory;
    const std::string prefix = directory.File("Database.");
    const std::string final = directory.File("final.db");
    testsupport::WriteFile(final, "older backup");
    {
        os::StagedFile staged;
        ASSERT_TRUE(staged.Create(prefix.c_str(), ".part")) << staged.LastError();
        EXPECT_EQ(std::string(staged.Name()).find(prefix), 0u) << staged.Name();
        ASSERT_TRUE(staged.Write("new backup", 10));
        ASSERT_TRUE(staged.Commit(final.c_str())) << staged.LastError();
    }
    EXPECT_EQ(testsupport::ReadFile(final), "new backup");
    EXPECT_EQ(testsupport::ListFiles(directory.Path()), std::vector<std::string>{"final.db"});

    const std::string taken = directory.File("taken");
    std::filesystem::create_directory(taken);
    testsupport::WriteFile(taken + "/keep", "x");
    {
        os::StagedFile staged;
        ASSERT_TRUE(staged.Create(prefix.c_str(), ".part"));
        ASSERT_TRUE(staged.Write("lost", 4));
        EXPECT_FALSE(staged.Commit(taken.c_str()));
        EXPECT_NE(staged.LastError(), 0);
    }
    EXPECT_EQ(testsupport::ListFiles(directory.Path()), (std::vector<std::string>{"final.db", "taken"}));
}

// The staged and final names are relative to the current directory; where
// that directory's path is long, their full paths pass MAX_PATH (260), which
// Windows lifts only for names built with the \\?\ prefix.
TEST(Platform, StagedFileWorksWhereTheFullPathsPassMaxPath) {
    testsupport::TempDir directory;
    std::string deep = directory.Path();
    while (deep.size() < 240) {
        deep += "/" + std::string(40, 'd');
        std::filesystem::create_directory(deep);
    }
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(deep);
    const std::string final = "Database.20260101000000.db";
    std::string part;
    {
        os::StagedFile staged;
        EXPECT_TRUE(staged.Create("Database.", ".part")) << staged.LastError();
        part = staged.Name();
        EXPECT_TRUE(staged.Write("deep backup", 11));
        EXPECT_TRUE(staged.Commit(final.c_str())) << staged.LastError();
    }
    std::filesystem::current_path(previous);
    EXPECT_GT(deep.size() + 1 + final.size(), 260u);
    EXPECT_EQ("deep backup", testsupport::ReadFile(deep + "/" + final));
    EXPECT_FALSE(std::filesystem::exists(deep + "/" + part));
}

// Windows: a scanner that holds the final name open delays the rename, and
// the rename waits for it (30 s in the product, shortened here); one that
// holds it longer leaves the whole backup under its staged name, never
// deleted. A POSIX rename does not wait for other programs.
TEST(Platform, StagedFileWaitsForAHeldFinalNameAndNeverDropsAWholeBackup) {
    if (!testprocess::BuiltForWindows()) GTEST_SKIP() << "a POSIX rename does not wait for other programs";
    SeamReset reset;
    testsupport::TempDir directory;
    const std::string prefix = directory.File("Database."), final = directory.File("final.db");
    testsupport::WriteFile(final, "older backup");
    std::string kept;
    {
        std::ifstream scanner(final, std::ios::binary);
        seam::ShortenRenamePatience(400);
        os::StagedFile staged;
        ASSERT_TRUE(staged.Create(prefix.c_str(), ".part"));
        ASSERT_TRUE(staged.Write("new backup", 10));
        EXPECT_FALSE(staged.Commit(final.c_str()));
        EXPECT_TRUE(staged.Kept());
        EXPECT_EQ(5, staged.LastError()) << "ERROR_ACCESS_DENIED";
        kept = staged.Name();
    }
    EXPECT_EQ("new backup", testsupport::ReadFile(kept));
    EXPECT_EQ("older backup", testsupport::ReadFile(final));

    auto scanner = std::make_unique<std::ifstream>(final, std::ios::binary);
    std::thread release([&scanner] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        scanner.reset();
    });
    seam::ShortenRenamePatience(20000);
    os::StagedFile staged;
    ASSERT_TRUE(staged.Create(prefix.c_str(), ".part"));
    ASSERT_TRUE(staged.Write("newest", 6));
    EXPECT_TRUE(staged.Commit(final.c_str())) << staged.LastError();
    EXPECT_FALSE(staged.Kept());
    release.join();
    EXPECT_EQ("newest", testsupport::ReadFile(final));
    EXPECT_EQ(2u, testsupport::ListFiles(directory.Path()).size()) << "the final name and the one kept before";
}

// The copy is exact (a Ctrl-Z byte ends a text-mode copy on Windows), and
// one that cannot be made leaves the destination as it was.
TEST(Platform, CopyIsExactOrLeavesTheDestinationAlone) {
    testsupport::TempDir directory;
    const WidePath wszFrom(directory.File("from")), wszTo(directory.File("to"));
    const std::string bytes("a\x1a\r\n\0\x1a\xffz", 9);
    testsupport::WriteFile(directory.File("from"), bytes);
    ASSERT_TRUE(os::CopyFileReplacing(wszFrom, wszTo));
    EXPECT_EQ(testsupport::ReadFile(directory.File("to")), bytes);

    testsupport::WriteFile(directory.File("to"), "kept");
    EXPECT_FALSE(os::CopyFileReplacing(WidePath(directory.File("missing")), wszTo));
    std::filesystem::create_directory(directory.File("from-directory"));
    EXPECT_FALSE(os::CopyFileReplacing(WidePath(directory.File("from-directory")), wszTo));
    EXPECT_EQ(testsupport::ReadFile(directory.File("to")), "kept");
    EXPECT_EQ(testsupport::ListFiles(directory.Path()), (std::vector<std::string>{"from", "from-directory", "to"}));
}

// Another program holding the log open must never stop a run, nor a run
// stop it: while our stream is open the file can be opened again, written,
// renamed and deleted (on Windows: read, write and delete sharing).
TEST(Platform, OpenFileSharesReadingWritingAndDeleting) {
    testsupport::TempDir directory;
    const std::string path = directory.File("held.txt"), moved = directory.File("moved.txt");
    const WidePath wszPath(path), wszMoved(moved);
    std::FILE* pHeld = os::OpenFileWide(wszPath, "a");
    ASSERT_NE(pHeld, nullptr);
    std::FILE* pSecond = os::OpenFileWide(wszPath, "w");
    ASSERT_NE(pSecond, nullptr) << os::LastSystemError();
    std::fputs("second\n", pSecond);
    std::fclose(pSecond);
    std::FILE* pReader = os::OpenFileWide(wszPath, "rb");
    ASSERT_NE(pReader, nullptr) << os::LastSystemError();
    std::fclose(pReader);
    std::error_code error;
    std::filesystem::rename(path, moved, error);
    EXPECT_FALSE(error) << error.message();
    std::fputs("held\n", pHeld);
    EXPECT_EQ(std::fclose(pHeld), 0);
    EXPECT_EQ(testsupport::FromTextMode(testsupport::ReadFile(moved)), "second\nheld\n");

    pHeld = os::OpenFileWide(wszMoved, "r");
    ASSERT_NE(pHeld, nullptr);
    EXPECT_EQ(std::remove(moved.c_str()), 0);
    std::fclose(pHeld);
}

// System texts are one UTF-8 line without a line break or space at the
// end, and a code the system has no text for gives an empty text, not what
// the buffer held before.
TEST(Platform, SystemErrorTextIsOneLineOrEmpty) {
    char szText[256] = "before";
    for (int iCode : {10061, 2, 5, 112}) {
        ASSERT_TRUE(os::SystemErrorText(iCode, szText, sizeof szText)) << iCode;
        const std::string text = szText;
        ASSERT_FALSE(text.empty()) << iCode;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << iCode << ": " << text;
        EXPECT_NE(text.back(), ' ') << iCode;
    }
    EXPECT_FALSE(os::SystemErrorText(0x7ffffff0, szText, sizeof szText));
    EXPECT_STREQ(szText, "");
    char szSmall[8] = "";
    os::SystemErrorText(10061, szSmall, sizeof szSmall);
    EXPECT_EQ(std::strlen(szSmall), 7u);
}

}  // namespace
