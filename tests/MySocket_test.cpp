// The socket wrapper: its states, and its records in their order for each
// way a call can fail.
#include "SocketManager/MySocket.h"
#include "log/MyLog.h"
#include "support/LogCapture.h"
#include "support/ScriptedServer.h"
#include "support/TestSeam.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

class MySocketTest : public ::testing::Test {
protected:
    void TearDown() override { seam::Reset(); }

    // The records after "Enter", which every Connect writes first.
    std::vector<std::string> AfterEnter(int iPort) {
        std::vector<std::string> records = m_log.Summaries();
        EXPECT_FALSE(records.empty());
        if (records.empty()) return records;
        EXPECT_EQ("MySocket::Connect|494|Enter MySocket::Connect(127.0.0.1) -- " + std::to_string(2 * iPort),
                  records[0]);
        records.erase(records.begin());
        return records;
    }

    LogCapture m_log;
};

std::string Handle(const MySocket& socket) { return std::to_string(static_cast<int>(socket.m_iSocket)); }

}  // namespace

TEST_F(MySocketTest, ConnectToAListeningPeerIsUnderWay) {
    ScriptedServer server({Reply("")});
    MySocket* pSocket = MySocket::Connect("127.0.0.1", server.Port(), true);
    ASSERT_NE(nullptr, pSocket);
    EXPECT_TRUE(pSocket->m_bConnecting);
    EXPECT_FALSE(pSocket->m_bConnected);
    EXPECT_FALSE(pSocket->m_bListening);
    EXPECT_EQ(std::vector<std::string>{"MySocket::Connect|566|Exit MySocket::Connect(127.0.0.1). \nSocket " +
                                       Handle(*pSocket) + " is created and connected. Source IP = 127.0.0.1"},
              AfterEnter(server.Port()));
    pSocket->Close();
    EXPECT_EQ("MySocket::MySocket|310|Closing socket: " + Handle(*pSocket), m_log.Summaries().back());
    delete pSocket;
}

TEST_F(MySocketTest, ConnectFailingAtOnceClosesFirstThenLogsTheConnectCode) {
    seam::FailNext(seam::Call::Connect, 10061);
    EXPECT_EQ(nullptr, MySocket::Connect("127.0.0.1", 81, true));
    const auto records = AfterEnter(81);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(0u, records[0].find("MySocket::MySocket|310|Closing socket: "));
    EXPECT_EQ(
        "MySocket::Connect|558|connect() failed, Close() is called. host: 127.0.0.1, error code: 10061, error: "
        "Connection refused.",
        records[1]);
}

struct ConnectFailure {
    const char* name;
    seam::Call call;
    int iCode;
    std::vector<std::string> records;  // after "Enter"; "*" matches any close record
};

class ConnectFailures : public MySocketTest, public ::testing::WithParamInterface<ConnectFailure> {};

TEST_P(ConnectFailures, LogTheirRecordsAndLeaveNoSocket) {
    const ConnectFailure& c = GetParam();
    seam::FailNext(c.call, c.iCode);
    EXPECT_EQ(nullptr, MySocket::Connect("127.0.0.1", 81, true));
    const auto records = AfterEnter(81);
    ASSERT_EQ(c.records.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        if (c.records[i] == "*")
            EXPECT_EQ(0u, records[i].find("MySocket::MySocket|310|Closing socket: "));
        else
            EXPECT_EQ(c.records[i], records[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ConnectFailures,
    ::testing::Values(
        ConnectFailure{"Socket",
                       seam::Call::Socket,
                       10024,
                       {"MySocket::Connect|511|socket() failed, error code: 10024, error: Too many open files."}},
        ConnectFailure{"NonBlocking",
                       seam::Call::IoctlSocket,
                       10038,
                       {"MySocket::SetNonBlocking|348|ioctlsocket(), error code: 10038, error: MySocket operation on "
                        "nonsocket.",
                        "MySocket::Connect|519|SetNonBlocking() failed, error code: 10038, error: MySocket operation "
                        "on nonsocket.",
                        "*"}},
        ConnectFailure{
            "SendBuffer",
            seam::Call::SetSockOpt,
            10042,
            {"MySocket::Connect|528|setsockopt() failed, error code: 10042, error: Bad protocol option.", "*"}}),
    [](const ::testing::TestParamInfo<ConnectFailure>& info) { return std::string(info.param.name); });

TEST_F(MySocketTest, CloseOfAnInvalidHandleOnlyLogs) {
    MySocket socket;
    seam::FailNext(seam::Call::CloseSocket, 10038);  // would show if closesocket were called
    socket.Close();
    EXPECT_EQ(std::vector<std::string>{"MySocket::Close|270|m_iSocket is INVALID_SOCKET"}, m_log.Summaries());
}

TEST_F(MySocketTest, CloseLeavesAListeningSocketOpen) {
    MySocket socket;
    socket.m_iSocket = winsock::socket(winsock::kAfInet, winsock::kSockStream, 0);
    socket.m_bListening = true;
    socket.m_iListenPort = 8080;
    socket.Close();
    EXPECT_EQ(std::vector<std::string>{"MySocket::Close|276|!!!! m_iSocket " + Handle(socket) +
                                       " is a listening socket on port: 8080"},
              m_log.Summaries());
    EXPECT_EQ(0, winsock::closesocket(socket.m_iSocket));  // still open until now
}

TEST_F(MySocketTest, FailedCloseIsLoggedAtLevelTwo) {
    MySocket socket;
    socket.m_iSocket = winsock::socket(winsock::kAfInet, winsock::kSockStream, 0);
    seam::FailNext(seam::Call::CloseSocket, 10038);
    socket.Close();
    EXPECT_EQ(std::vector<std::string>{"MySocket::Close|305|closesocket(m_iSocket) == -1, m_iSocket = " +
                                       Handle(socket) + ", error code: 10038, error: MySocket operation on nonsocket."},
              m_log.Summaries());
    EXPECT_EQ(2, g_iLogErrorState);
    winsock::closesocket(socket.m_iSocket);
}

TEST_F(MySocketTest, SetAddressForNoHostIsAnyAddress) {
    MySocket socket;
    winsock::SockAddrIn address{};
    seam::FailNext(seam::Call::GetHostByName, 11001);  // would show if a look-up were made
    ASSERT_TRUE(socket.SetAddress(nullptr, 8080, &address));
    EXPECT_EQ(winsock::kInaddrAny, address.sin_addr);
    EXPECT_EQ(winsock::HostToNetShort(8080), address.sin_port);
    EXPECT_EQ(winsock::kAfInet, address.sin_family);
    EXPECT_TRUE(m_log.Summaries().empty());
}

TEST_F(MySocketTest, SetAddressTakesADottedAddress) {
    MySocket socket;
    winsock::SockAddrIn address{};
    ASSERT_TRUE(socket.SetAddress("127.0.0.1", 81, &address));
    EXPECT_EQ(winsock::inet_addr("127.0.0.1"), address.sin_addr);
    EXPECT_EQ(winsock::HostToNetShort(81), address.sin_port);
}

TEST_F(MySocketTest, SetAddressRetriesALookUpThatFailedForADottedAddress) {
    MySocket socket;
    winsock::SockAddrIn address{};
    seam::FailNext(seam::Call::GetHostByName, 11002);
    ASSERT_TRUE(socket.SetAddress("127.0.0.1", 81, &address));
    EXPECT_EQ(winsock::inet_addr("127.0.0.1"), address.sin_addr);
    EXPECT_EQ(std::vector<std::string>{"MySocket::SetAddress|408|gethostbyname(127.0.0.1) failed, error code: 11002, "
                                       "error: Nonauthoritative host not found."},
              m_log.Summaries());
}

TEST_F(MySocketTest, SetAddressForAnUnknownNameFails) {
    MySocket socket;
    winsock::SockAddrIn address{};
    seam::FailNext(seam::Call::GetHostByName, 11001);
    EXPECT_FALSE(socket.SetAddress("unknown-host", 81, &address));
    EXPECT_EQ(
        std::vector<std::string>{"MySocket::SetAddress|427|gethostbyname(unknown-host) failed, error code: 11001, "
                                 "error: Host not found."},
        m_log.Summaries());
}
