// The HTTP exchange against a scripted loopback server: the request bytes,
// the reply split, the time-outs and every failure record.
#include "SocketManager/HTTPConnection.h"
#include "SocketManager/Proxy.h"
#include "SocketManager/ReplySplit.h"
#include "SocketManager/SpeedWindow.h"
#include "platform/Platform.h"
#include "support/LogCapture.h"
#include "support/ScriptedServer.h"
#include "support/StringBody.h"
#include "support/TestSeam.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>

using namespace testsupport;

namespace {

const std::string kDefaultHeaders =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/vnd.ms-powerpoint, "
    "application/vnd.ms-excel, application/msword, application/x-shockwave-flash, */*\r\n"
    "Accept-Language: en-us\r\n"
    "Pragma: no-cache\r\n";
const std::string kDefaultAgent =
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0; .NET CLR 1.0.3705; .NET CLR 1.1.4322)\r\n";

class HTTPConnectionTest : public ::testing::Test {
protected:
    HTTPConnectionTest() { m_result.pBodyDestination = &m_body; }

    void TearDown() override {
        seam::Reset();
        delete[] m_result.pData;
    }

    std::string Url(const ScriptedServer& server, const std::string& path = "/as/wapi/retrieve_db?Email=a") {
        return "127.0.0.1:" + std::to_string(server.Port()) + path;
    }

    bool Get(const std::string& url, int iTimeout = 7, bool bAbsolute = false, const char* szFallback = "") {
        return HTTPConnection::Download(url.c_str(), szFallback, "", "", "", 0, iTimeout, bAbsolute, &m_result,
                                        &m_bConnectFailed);
    }

    std::string Body() const {
        EXPECT_EQ(static_cast<std::int64_t>(m_body.m_bytes.size()), m_result.iBodyLength);
        return m_body.m_bytes;
    }

    std::string Data() const {
        return m_result.pData == nullptr ? std::string() : std::string(m_result.pData, m_result.iDataLength);
    }

    // A server that reads the request and then says nothing: the exchange
    // fails once iTimeout seconds have passed without a byte.
    void ExpectSilenceToEndTheWait(int iTimeout) {
        ScriptedServer server({{ReadRequest(), HoldOpen()}});
        EXPECT_FALSE(Get(Url(server), iTimeout));
        const auto records = m_log.Summaries();
        ASSERT_EQ(5u, records.size());
        EXPECT_EQ("HTTPConnection|195|Timeout now: iTimeout = " + std::to_string(iTimeout), records[2]);
        EXPECT_EQ(0u, records[3].find("HTTPConnection|411|"));
    }

    LogCapture m_log;
    StringBody m_body;
    DownloadResult m_result{};
    bool m_bConnectFailed = true;
};

std::string Port(const ScriptedServer& server) { return std::to_string(server.Port()); }

}  // namespace

TEST(HTTPRequest, DefaultGetHasSixHeaderLinesAndNoPortForPort80) {
    const std::string request = HTTPConnection::BuildRequest("192.0.2.7", 80, "", "", "", "", 0);
    EXPECT_EQ("GET http://192.0.2.7/ HTTP/1.0\r\n" + kDefaultHeaders + kDefaultAgent +
                  "Host: 192.0.2.7\r\nProxy-Connection: Keep-Alive\r\n\r\n",
              request);
}

TEST(HTTPRequest, PostCarriesOptionsLengthAndBody) {
    const std::string request =
        HTTPConnection::BuildRequest("example.test", 8080, "/p?q=1", "Agent/2", "X-Extra: yes", "a=1\0b", 5);
    EXPECT_EQ("POST http://example.test:8080/p?q=1 HTTP/1.0\r\n" + kDefaultHeaders +
                  "User-Agent: Agent/2\r\nX-Extra: yes\r\nHost: example.test:8080\r\nContent-Length: 5\r\n"
                  "Proxy-Connection: Keep-Alive\r\n\r\n" +
                  std::string("a=1\0b", 5),
              request);
}

// The host carries its port unless it is the scheme's default, in the
// Host line too, as a name-based virtual host needs.
TEST(HTTPRequest, RequestNamesTheHostWithItsPortUnlessTheDefault) {
    const struct {
        const char* szHost;
        int iPort;
        bool bSecure;
        std::string authority;
    } cases[] = {{"backup.example", 443, true, "https://backup.example"},
                 {"backup.example", 80, true, "https://backup.example:80"},
                 {"backup.example", 80, false, "http://backup.example"},
                 {"backup.example", 443, false, "http://backup.example:443"},
                 {"localhost", 8081, false, "http://localhost:8081"},
                 {"::1", 8081, false, "http://[::1]:8081"},
                 {"2001:db8::7", 443, true, "https://[2001:db8::7]"}};
    for (const auto& c : cases) {
        const std::string host = c.authority.substr(c.authority.find("//") + 2);
        EXPECT_EQ("GET " + c.authority + "/db HTTP/1.0\r\n" + kDefaultHeaders + kDefaultAgent + "Host: " + host +
                      "\r\nProxy-Connection: Keep-Alive\r\n\r\n",
                  HTTPConnection::BuildRequest(c.szHost, c.iPort, "/db", "", "", "", 0, c.bSecure));
    }
}

TEST_F(HTTPConnectionTest, SendsTheExactRequestAndSplitsAtTheBlankLine) {
    ScriptedServer server({Reply(HttpReply("BODY"))});
    ASSERT_TRUE(Get(Url(server)));
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ("GET http://127.0.0.1:" + Port(server) + "/as/wapi/retrieve_db?Email=a HTTP/1.0\r\n" + kDefaultHeaders +
                  kDefaultAgent + "Host: 127.0.0.1:" + Port(server) + "\r\nProxy-Connection: Keep-Alive\r\n\r\n",
              server.Requests().at(0));
    const std::string reply = HttpReply("BODY");
    EXPECT_EQ(reply.substr(0, reply.size() - 4), Data());
    EXPECT_EQ(static_cast<int>(reply.find("\r\n\r\n")), m_result.iHeaderEnd);
    EXPECT_EQ("BODY", Body());
    EXPECT_FALSE(m_bConnectFailed);
    const auto records = m_log.Summaries();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("MySocket::Connect|494|Enter MySocket::Connect(127.0.0.1) -- " + std::to_string(2 * server.Port()),
              records[0]);
    EXPECT_EQ(0u, records[1].find("MySocket::Connect|566|Exit MySocket::Connect(127.0.0.1). \nSocket "));
    EXPECT_NE(std::string::npos, records[1].find(" is created and connected. Source IP = 127.0.0.1"));
    EXPECT_EQ(0u, records[2].find("MySocket::MySocket|310|Closing socket: "));
}

TEST_F(HTTPConnectionTest, PostThroughTheExchangeSendsTheBody) {
    ScriptedServer server({Reply(HttpReply("ok"))});
    const std::string url = Url(server, "/upload");
    ASSERT_TRUE(
        HTTPConnection::Download(url.c_str(), nullptr, "UA", "", "k=v", 3, 7, false, &m_result, &m_bConnectFailed));
    ASSERT_TRUE(server.WaitForConnections(1));
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(0u, request.find("POST http://127.0.0.1:" + Port(server) + "/upload HTTP/1.0\r\n"));
    EXPECT_NE(std::string::npos, request.find("Host: 127.0.0.1:" + Port(server) +
                                              "\r\nContent-Length: 3\r\nProxy-Connection: Keep-Alive\r\n\r\nk=v"));
    EXPECT_EQ("ok", Body());
}

// A keep-alive server sends its reply and keeps the connection open; a
// minute later by the seam's clock it would be past every time-out. The
// exchange ends as soon as the body is as long as the destination asked,
// or the destination is settled, or wants nothing: without a time-out,
// with the bytes past the end counted and never handed over.
TEST_F(HTTPConnectionTest, KeepAliveReplyEndsOnceTheDestinationHasWhatItAskedFor) {
    const struct {
        std::int64_t iBodyLength;
        std::size_t uSettledAt;
        std::string body;
        std::int64_t iExcess;
    } cases[] = {{4, 0, "BODY", 6}, {0, 0, "", 10}, {BodyDestination::kUntilClose, 3, "BODYextras", 0}};
    for (const auto& c : cases) {
        StringBody body;
        body.m_iBodyLength = c.iBodyLength;
        body.m_uSettledAt = c.uSettledAt;
        DownloadResult result{};
        result.pBodyDestination = &body;
        ScriptedServer server({{ReadRequest(), Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nBODYextras"),
                                Pause(200), Call([] { seam::AdvanceClock(60); }), HoldOpen()}});
        const std::string url = Url(server);
        EXPECT_TRUE(HTTPConnection::Download(url.c_str(), "", "", "", "", 0, 7, false, &result, &m_bConnectFailed));
        EXPECT_EQ(c.body, body.m_bytes);
        EXPECT_EQ(static_cast<std::int64_t>(c.body.size()), result.iBodyLength);
        EXPECT_EQ(c.iExcess, result.iExcessLength);
        EXPECT_EQ(ExchangeFailure::None, result.eFailure);
        delete[] result.pData;
        seam::Reset();
    }
    for (const std::string& record : m_log.Summaries()) EXPECT_EQ(std::string::npos, record.find("Timeout"));
}

struct SplitCase {
    const char* name;
    std::string reply;
    int iHeaderEnd;
    std::string header;  // what stays in pData
    std::string body;    // what the destination took
};

class HeaderSplit : public HTTPConnectionTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(HeaderSplit, EndsTheHeaderAtTheFirstBlankLine) {
    const SplitCase& c = GetParam();
    ScriptedServer server({Reply(c.reply)});
    ASSERT_TRUE(Get(Url(server)));
    EXPECT_EQ(c.iHeaderEnd, m_result.iHeaderEnd);
    EXPECT_EQ(c.header, Data());
    EXPECT_EQ(c.body, Body());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, HeaderSplit,
    ::testing::Values(SplitCase{"CrLf", "H: 1\r\n\r\nbody", 4, "H: 1\r\n\r\n", "body"},
                      SplitCase{"LfOnly", "H: 1\n\nbody", 4, "H: 1\n\n", "body"},
                      SplitCase{"ReturnTag", "junk<__Return__>x", 4, "junk<__Return__>x", "<__Return__>x"},
                      SplitCase{"None", "no separator at all", -1, "no separator at all", ""},
                      // A bare-LF header whose body holds CR LF CR LF: the body is kept whole.
                      SplitCase{"FirstBlankLineWinsWhateverItsKind", "H\n\nA\r\n\r\nB", 1, "H\n\n", "A\r\n\r\nB"},
                      SplitCase{"CrLfBeforeALaterLf", "H\r\n\r\nA\n\nB", 1, "H\r\n\r\n", "A\n\nB"},
                      SplitCase{"EmptyBody", "H\r\n\r\n", 1, "H\r\n\r\n", ""}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST_F(HTTPConnectionTest, JoinsALargeReplyFromManyPiecesInOrder) {
    std::string body;
    for (int i = 0; i < 200000; ++i) body += static_cast<char>((i * 7919) % 251);
    ScriptedServer server({ReplyInPieces(HttpReply(body), 7001, 1)});
    ASSERT_TRUE(Get(Url(server)));
    EXPECT_EQ(body, Body());
    EXPECT_GT(m_body.m_iAppends, 1) << "the body goes to its destination as it arrives";
}

TEST_F(HTTPConnectionTest, BlankLineSplitAcrossReceivesIsFound) {
    // Pieces of one byte put each separator across receive boundaries.
    ScriptedServer server({ReplyInPieces("H: 1\r\n\r\nbody", 1, 5)});
    ASSERT_TRUE(Get(Url(server)));
    EXPECT_EQ(4, m_result.iHeaderEnd);
    EXPECT_EQ("body", Body());
}

TEST_F(HTTPConnectionTest, CloseWithoutReplyFailsAndLeavesTheResultUntouched) {
    ScriptedServer server({CloseWithoutReply()});
    EXPECT_FALSE(Get(Url(server)));
    EXPECT_EQ(nullptr, m_result.pData);
    EXPECT_EQ(0, m_result.iHeaderEnd);
    const auto records = m_log.Summaries();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ(0u, records[2].find("HTTPConnection|411|iTotalDataReceived = 0, error code: "));
}

TEST_F(HTTPConnectionTest, RefusedConnectionShowsAsExceptionThenNothingReceived) {
    int iPort;
    {
        ScriptedServer closed({});
        iPort = closed.Port();
    }
    EXPECT_FALSE(Get("127.0.0.1:" + std::to_string(iPort) + "/x"));
    EXPECT_FALSE(m_bConnectFailed);
    const auto records = m_log.Summaries();
    ASSERT_EQ(5u, records.size());
    EXPECT_EQ("HTTPConnection|363|uFdException, error code: 10061, error: Connection refused.", records[2]);
    EXPECT_EQ("HTTPConnection|411|iTotalDataReceived = 0, error code: 10061, error: Connection refused.", records[3]);
}

TEST_F(HTTPConnectionTest, SilentServerEndsWithTheInactivityTimeOut) { ExpectSilenceToEndTheWait(1); }

TEST_F(HTTPConnectionTest, ReplyThenSilenceKeepsWhatArrived) {
    // Two seconds: time is counted in whole seconds, so a limit of one could
    // end the wait before the reply had a chance to arrive.
    ScriptedServer server({{ReadRequest(), Send(HttpReply("kept")), HoldOpen()}});
    EXPECT_TRUE(Get(Url(server), 2));
    EXPECT_EQ("kept", Body());
    EXPECT_EQ("HTTPConnection|195|Timeout now: iTimeout = 2", m_log.Summaries().at(2));
}

TEST_F(HTTPConnectionTest, AbsoluteTimeOutCountsFromTheStartOfTheCall) {
    ScriptedServer server({{ReadRequest(), Send("HTTP/1.0 200 OK\r\n"), HoldOpen()}});
    EXPECT_TRUE(Get(Url(server), 2, true));
    EXPECT_EQ("HTTPConnection|182|Timeout now: iTimeout = 2", m_log.Summaries().at(2));
}

TEST_F(HTTPConnectionTest, TricklingServerFailsTheLowSpeedLimit) {
    // Each byte comes six seconds after the last by the exchange's clock:
    // never silent for the 7 s time-out, never 1024 bytes in a minute.
    Script script{ReadRequest(), Send("HTTP/1.0 200 OK\r\n\r\n")};
    for (int i = 0; i < 12; ++i) {
        script.push_back(Call([] { seam::AdvanceClock(6); }));
        script.push_back(Send("x"));
        script.push_back(Pause(20));
    }
    script.push_back(HoldOpen());
    ScriptedServer server({script});
    EXPECT_FALSE(Get(Url(server)));
    const auto records = m_log.Summaries();
    ASSERT_EQ(4u, records.size()) << ::testing::PrintToString(records);
    EXPECT_EQ(0u, records[2].find("HTTPConnection|200|Too slow: ")) << records[2];
    EXPECT_NE(std::string::npos, records[2].find(" bytes in the last 60 seconds")) << records[2];
    EXPECT_LT(m_body.m_bytes.size(), 12u);
}

TEST_F(HTTPConnectionTest, ZeroTimeOutEndsBeforeAnyWait) { ExpectSilenceToEndTheWait(0); }

TEST_F(HTTPConnectionTest, ResetInTheMiddleKeepsTheBytesThatArrived) {
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(5000, 'x');
    ScriptedServer server({{ReadRequest(), Send(reply), Pause(200), Reset()}});
    EXPECT_TRUE(Get(Url(server)));
    EXPECT_EQ(std::string(5000, 'x'), Body());
    EXPECT_EQ("HTTPConnection|326|recv() iReturn == -1, error code: 10054, error: Connection reset by peer.",
              m_log.Summaries().at(2));
}

TEST_F(HTTPConnectionTest, ReplyWithoutABlankLinePastTheHeaderLimitFails) {
    const std::string flood(HTTPConnection::kHeaderLimit + 1, 'h');
    ScriptedServer server({Reply(flood)});
    EXPECT_FALSE(Get(Url(server)));
    EXPECT_EQ(nullptr, m_result.pData);
    EXPECT_EQ("", Body());
    const auto records = m_log.Summaries();
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ("HTTPConnection|340|Reply header too large: no blank line in the first 16777216 bytes", records[2]);
}

TEST_F(HTTPConnectionTest, DestinationThatRefusesEndsTheExchangeUnlogged) {
    StringBody full(1000);
    m_result.pBodyDestination = &full;
    ScriptedServer server({ReplyInPieces(HttpReply(std::string(5000, 'y')), 600, 50)});
    EXPECT_FALSE(Get(Url(server)));
    EXPECT_LE(full.m_bytes.size(), 1000u);
    const auto records = m_log.Summaries();
    ASSERT_EQ(3u, records.size()) << ::testing::PrintToString(records);
    EXPECT_EQ(0u, records[2].find("MySocket::MySocket|310|Closing socket: "));
}

struct LoopFailure {
    const char* name;
    seam::Call call;
    int iCode;
    bool bResult;
    std::string record;
};

class LoopFailures : public HTTPConnectionTest, public ::testing::WithParamInterface<LoopFailure> {};

TEST_P(LoopFailures, AreLoggedAtTheirLine) {
    const LoopFailure& c = GetParam();
    ScriptedServer server({Reply(HttpReply("x"))});
    seam::FailNext(c.call, c.iCode);
    EXPECT_EQ(c.bResult, Get(Url(server)));
    const auto records = m_log.Summaries();
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(c.record, records[2]);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, LoopFailures,
    ::testing::Values(
        LoopFailure{"Select", seam::Call::Select, 10022, false,
                    "SocketManager|220|select() failed, error code: 10022, error: Invalid argument."},
        LoopFailure{"Send", seam::Call::Send, 10053, false,
                    "HTTPConnection|278|iErrorCode: 10053, error: Software caused connection abort."},
        LoopFailure{"Recv", seam::Call::Recv, 10054, false,
                    "HTTPConnection|326|recv() iReturn == -1, error code: 10054, error: Connection reset by peer."}),
    [](const ::testing::TestParamInfo<LoopFailure>& info) { return std::string(info.param.name); });

TEST_F(HTTPConnectionTest, UnparsableUrlIsLoggedWithoutThePassword) {
    EXPECT_FALSE(Get("127.0.0.1:0/x?Email=a%40b&Password=s%40cret"));
    const auto records = m_log.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("63", records[0].line);
    EXPECT_EQ(0u, records[0].message.find(
                      "Failed to parse SERVER_ADDRESS: 127.0.0.1:0/x?Email=a%40b&Password=***, Error Code = "));
}

TEST_F(HTTPConnectionTest, UnresolvableHostWithoutFallbackIsLoggedWithoutThePassword) {
    seam::FailNext(seam::Call::GetHostByName, 11001);
    EXPECT_FALSE(Get("nohost:81/x?Password=s%40cret&Email=a&XPassword=y"));
    EXPECT_EQ(std::vector<std::string>{"HTTPConnection|74|Failed to get IP address for SERVER_ADDRESS: "
                                       "nohost:81/x?Password=***&Email=a&XPassword=y, "
                                       "Error Code = 11001, Error = Host not found."},
              m_log.Summaries());
}

TEST_F(HTTPConnectionTest, FallbackAddressIsUsedWhileTheRequestNamesTheHost) {
    ScriptedServer server({Reply(HttpReply("via fallback"))});
    seam::FailNext(seam::Call::GetHostByName, 11001);
    EXPECT_TRUE(Get("http://backup-host:" + Port(server) + "/p", 7, false, "127.0.0.1"));
    EXPECT_EQ("via fallback", Body());
    ASSERT_TRUE(server.WaitForConnections(1));
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(0u, request.find("GET http://backup-host:" + Port(server) + "/p HTTP/1.0\r\n"));
    EXPECT_NE(std::string::npos, request.find("\r\nHost: backup-host:" + Port(server) + "\r\n"));
}

// An IPv6 server: the request names it in brackets, the records in its
// usual text form.
TEST_F(HTTPConnectionTest, Ipv6ServerIsNamedInBrackets) {
    ScriptedServer server({Reply(HttpReply("over IPv6"))}, true);
    if (!server.Listening()) GTEST_SKIP() << "no IPv6 loopback (::1) on this system";
    EXPECT_TRUE(Get("http://[0:0::1]:" + Port(server) + "/p")) << ::testing::PrintToString(m_log.Summaries());
    EXPECT_EQ("over IPv6", Body());
    ASSERT_TRUE(server.WaitForConnections(1));
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(0u, request.find("GET http://[0:0::1]:" + Port(server) + "/p HTTP/1.0\r\n")) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nHost: [0:0::1]:" + Port(server) + "\r\n")) << request;
    const auto records = m_log.Summaries();
    ASSERT_LE(2u, records.size());
    EXPECT_EQ("MySocket::Connect|494|Enter MySocket::Connect(::1) -- " + std::to_string(2 * server.Port()), records[0]);
    EXPECT_NE(std::string::npos, records[1].find("Source IP = ::1")) << records[1];
}

// When the first address refuses, the next of the host's answer (of either
// family) is tried before the exchange fails.
TEST_F(HTTPConnectionTest, RefusedAddressGivesWayToTheNextOfTheAnswer) {
    ScriptedServer server({Reply(HttpReply("second address"))}, true);
    if (!server.Listening()) GTEST_SKIP() << "no IPv6 loopback (::1) on this system";
    seam::ScriptNameService("both.test", {seam::MakeIpv4Address("127.0.0.1", 0), seam::MakeIpv6Address("::1")});
    seam::FailNext(seam::Call::GetHostByName, 11001);
    EXPECT_TRUE(Get("http://both.test:" + Port(server) + "/p", 7, false, "127.0.0.1"));
    EXPECT_FALSE(m_bConnectFailed);
    EXPECT_EQ("second address", Body());
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ(0u, server.Requests().at(0).find("GET http://both.test:" + Port(server) + "/p HTTP/1.0\r\n"));
    const auto records = m_log.Summaries();
    const auto next =
        std::find(records.begin(), records.end(), "HTTPConnection|124|Trying the next address of both.test: ::1");
    ASSERT_NE(records.end(), next) << ::testing::PrintToString(records);
    EXPECT_EQ("MySocket::Connect|494|Enter MySocket::Connect(127.0.0.1) -- " + std::to_string(2 * server.Port()),
              records[0]);
    EXPECT_EQ("MySocket::Connect|494|Enter MySocket::Connect(::1) -- " + std::to_string(2 * server.Port()),
              *(next + 1));
}

TEST_F(HTTPConnectionTest, FallbackThatIsNotAnAddressIsRefused) {
    seam::FailNext(seam::Call::GetHostByName, 11001);
    EXPECT_FALSE(Get("nohost:81/x", 7, false, "not-an-address"));
    const auto records = m_log.Records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("100", records[0].line);
    EXPECT_EQ(0u, records[0].message.find("inet_addr(nohost) failed, error code: "));
}

TEST_F(HTTPConnectionTest, FallbackTooLongForTheAddressBufferIsRefused) {
    seam::FailNext(seam::Call::GetHostByName, 11001);
    const std::string fallback(5000, '1');
    EXPECT_FALSE(Get("nohost:81/x", 7, false, fallback.c_str()));
    EXPECT_EQ("74", m_log.Records().at(0).line);
}

TEST_F(HTTPConnectionTest, FailedSocketCreationEndsWithTheConnectRecord) {
    seam::FailNext(seam::Call::Socket, 10024);
    EXPECT_FALSE(Get("127.0.0.1:81/x"));
    const auto records = m_log.Summaries();
    ASSERT_EQ(3u, records.size());
    EXPECT_EQ("MySocket::Connect|511|socket() failed, error code: 10024, error: Too many open files.", records[1]);
    EXPECT_EQ("HTTPConnection|108|Connect() failed, error code: 10024, error: Too many open files.", records[2]);
}

TEST_F(HTTPConnectionTest, PeerOverAnInjectedSocketPairPlaysTheServer) {
    std::uintptr_t client = 0, peer = 0;
    ASSERT_TRUE(seam::MakeSocketPair(&client, &peer));
    const std::string reply = HttpReply("over the pair");
    ASSERT_EQ(static_cast<int>(reply.size()), winsock::send(peer, reply.data(), static_cast<int>(reply.size()), 0));
    winsock::shutdown(peer, winsock::kSdSend);
    seam::InjectNextSocket(client);
    EXPECT_TRUE(Get("127.0.0.1:80/x"));
    EXPECT_EQ("over the pair", Body());
    char aRequest[64] = {};
    EXPECT_GT(winsock::recv(peer, aRequest, sizeof aRequest - 1, 0), 0);
    EXPECT_EQ(0, std::string(aRequest).find("GET http://127.0.0.1/x HTTP/1.0\r\n"));
    winsock::closesocket(peer);
}

// --- The units under the exchange, without a socket.

TEST(SpeedWindowTest, CountsTheLastSixtySecondsOnly) {
    SpeedWindow speed(1000);
    speed.Note(1000, 10);
    speed.Note(1000, 5);
    speed.Note(1030, 100);
    EXPECT_EQ(115, speed.Recent(1059));
    EXPECT_EQ(100, speed.Recent(1060)) << "second 1000 has left the window";
    speed.Note(1060, 7);  // the slot of second 1000, reused
    EXPECT_EQ(107, speed.Recent(1060));
    EXPECT_EQ(0, speed.Recent(1200));
}

class ReplySplitTest : public ::testing::Test {
protected:
    ReplySplitTest() { m_result.pBodyDestination = &m_body; }
    ~ReplySplitTest() override { delete[] m_result.pData; }

    ReplySplit::Take Take(const std::string& bytes) { return m_split.TakeReceived(bytes.data(), bytes.size()); }

    StringBody m_body;
    DownloadResult m_result{};
    ReplySplit m_split{&m_result};
};

TEST_F(ReplySplitTest, DeclaredLengthCompletesTheReplyAndCountsTheExcess) {
    m_body.m_iBodyLength = 5;
    EXPECT_EQ(ReplySplit::Take::More, Take("HTTP/1.0 200 OK\r"));
    EXPECT_EQ(ReplySplit::Take::More, Take("\n\r\nab"));
    EXPECT_EQ(ReplySplit::Take::Complete, Take("cdefg"));
    EXPECT_EQ("abcde", m_body.m_bytes);
    EXPECT_EQ(2, m_result.iExcessLength);
    EXPECT_EQ(15, m_result.iHeaderEnd);
    ASSERT_TRUE(m_split.Finish(true));
    EXPECT_EQ("HTTP/1.0 200 OK\r\n\r\n", std::string(m_result.pData, static_cast<std::size_t>(m_result.iDataLength)));
}

TEST_F(ReplySplitTest, SettledOrRefusingDestinationEndsTheReply) {
    m_body.m_uSettledAt = 3;
    EXPECT_EQ(ReplySplit::Take::Complete, Take("H\n\nabcd"));
    StringBody full(2);
    ReplySplit refused(&m_result);
    m_result.pBodyDestination = &full;
    EXPECT_EQ(ReplySplit::Take::Refused, refused.TakeReceived("H\n\nabc", 6));
}

TEST_F(ReplySplitTest, HeaderWithoutBlankLineEndsAtTheLimitOrHandsOverTheReturnTag) {
    const std::string flood(HTTPConnection::kHeaderLimit, 'h');
    EXPECT_EQ(ReplySplit::Take::More, Take(flood));
    EXPECT_EQ(ReplySplit::Take::HeaderTooLarge, Take("h"));
    ReplySplit tagged(&m_result);
    EXPECT_EQ(ReplySplit::Take::More, tagged.TakeReceived("x<__Return__>y", 14));
    EXPECT_TRUE(tagged.Finish(true));
    EXPECT_EQ(1, m_result.iHeaderEnd);
    EXPECT_EQ("<__Return__>y", m_body.m_bytes);
}

// --- Choosing the proxy, from a scripted environment.

const std::vector<std::pair<std::string, std::string>>* g_pVariables = nullptr;

bool ScriptedVariable(const char* szName, std::string* pValue) {
    for (const auto& variable : *g_pVariables) {
        if (variable.first == szName && !variable.second.empty()) {
            *pValue = variable.second;
            return true;
        }
    }
    return false;
}

struct ProxyPick {
    const char* name;
    std::vector<std::pair<std::string, std::string>> variables;
    bool bSecure;
    const char* host;
    ProxyChoice::Kind eKind;
    std::string variable, proxyHost;  // the choice's, for Proxy
    std::int32_t iPort;
    std::string authorization;
};

void PrintTo(const ProxyPick& c, std::ostream* pOut) { *pOut << c.name; }

class ProxyPicks : public ::testing::TestWithParam<ProxyPick> {};

TEST_P(ProxyPicks, FollowTheVariablesAsCurlReadsThem) {
    const ProxyPick& c = GetParam();
    g_pVariables = &c.variables;
    const ProxyChoice choice = ChooseProxy(c.bSecure, c.host, ScriptedVariable, "", "");
    EXPECT_EQ(c.eKind, choice.eKind);
    EXPECT_EQ(c.variable, choice.variable);
    if (c.eKind != ProxyChoice::Kind::Proxy) return;
    EXPECT_EQ(c.proxyHost, choice.host);
    EXPECT_EQ(c.iPort, choice.iPort);
    EXPECT_EQ(c.authorization, choice.authorization);
}

using K = ProxyChoice::Kind;
INSTANTIATE_TEST_SUITE_P(
    Environment, ProxyPicks,
    ::testing::Values(
        ProxyPick{"NoneSet", {}, true, "h", K::Direct, "", "", 0, ""},
        ProxyPick{"HttpsProxyForHttps",
                  {{"https_proxy", "p:3128"}, {"all_proxy", "q"}},
                  true,
                  "h",
                  K::Proxy,
                  "https_proxy",
                  "p",
                  3128,
                  ""},
        ProxyPick{
            "UpperCaseHttpsProxy", {{"HTTPS_PROXY", "http://P/"}}, true, "h", K::Proxy, "HTTPS_PROXY", "P", 1080, ""},
        ProxyPick{"UpperCaseHttpProxyIsNotRead", {{"HTTP_PROXY", "p"}}, false, "h", K::Direct, "", "", 0, ""},
        ProxyPick{"AllProxyIsTheFallback",
                  {{"https_proxy", "p"}, {"ALL_PROXY", "a:1"}},
                  false,
                  "h",
                  K::Proxy,
                  "ALL_PROXY",
                  "a",
                  1,
                  ""},
        ProxyPick{"CredentialsArePercentDecoded",
                  {{"http_proxy", "http://u%3a:p%40ss%@p:8080"}},
                  false,
                  "h",
                  K::Proxy,
                  "http_proxy",
                  "p",
                  8080,
                  "Basic dTo6cEBzcyU="},
        ProxyPick{"NoProxyDomainAndSubdomains",
                  {{"http_proxy", "p"}, {"no_proxy", "x.org, .Example.COM"}},
                  false,
                  "db.example.com",
                  K::Bypassed,
                  "http_proxy",
                  "",
                  0,
                  ""},
        ProxyPick{"NoProxyIsNoSuffixOfAnotherName",
                  {{"http_proxy", "p"}, {"no_proxy", "example.com"}},
                  false,
                  "badexample.com",
                  K::Proxy,
                  "http_proxy",
                  "p",
                  1080,
                  ""},
        ProxyPick{
            "NoProxyStar", {{"https_proxy", "p"}, {"NO_PROXY", "*"}}, true, "h", K::Bypassed, "https_proxy", "", 0, ""},
        ProxyPick{"NoProxyAddress",
                  {{"https_proxy", "p"}, {"no_proxy", "10.0.0.7"}},
                  true,
                  "10.0.0.7",
                  K::Bypassed,
                  "https_proxy",
                  "",
                  0,
                  ""},
        ProxyPick{
            "HttpsProxyUrlIsRefused", {{"https_proxy", "https://p"}}, true, "h", K::Refused, "https_proxy", "", 0, ""},
        ProxyPick{
            "BadPortIsRefused",
            {{"https_proxy", "p:99999"}},
            true,
            "h",
            K::Refused,
            "https_proxy",
            "",
            0,
            "",
        }),
    [](const ::testing::TestParamInfo<ProxyPick>& info) { return std::string(info.param.name); });
