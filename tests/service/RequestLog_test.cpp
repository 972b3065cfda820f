#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "RateLimit.h"
#include "RequestLog.h"

using namespace backupservice;

TEST(RequestLogTest, FormatsOneLineWithoutControlCharacters) {
    RequestRecord record{"127.0.0.1", "GET", "/a\r\nforged line", 404, 65, true};
    EXPECT_EQ(formatRequestRecord(record, 0), "1970-01-01T00:00:00Z 127.0.0.1 GET /a??forged?line 404 65 - - -");
    record.complete = false;
    record.method = "";
    EXPECT_EQ(formatRequestRecord(record, 86400),
              "1970-01-02T00:00:00Z 127.0.0.1 - /a??forged?line 404 65 - - - incomplete");
}

// The account stays one field that reads back exactly; the duration has
// milliseconds, and a download its page count.
TEST(RequestLogTest, NamesTheAccountTheDurationAndThePages) {
    RequestRecord record{"::1", "GET", "/as/wapi/retrieve_db", 200, 8192, true};
    record.hasAccount = true;
    record.account = "user@example.com";
    record.seconds = 1.23456;
    record.pages = 2;
    EXPECT_EQ(formatRequestRecord(record, 0),
              "1970-01-01T00:00:00Z ::1 GET /as/wapi/retrieve_db 200 8192 "
              "user@example.com 1.235 2");
    record.pages = 0;
    record.refused = true;
    record.seconds = 0;
    for (const auto& [account, logged] : std::vector<std::pair<std::string, std::string>>{
             {"a b\r\nforged 200%", "a%20b%0D%0Aforged%20200%25"},
             {std::string("x\0y\x7f\xc3\xa9", 6), "x%00y%7F%C3%A9"},
             {"-", "%2D"},
             {"", "-"},
         }) {
        record.account = account;
        EXPECT_EQ(formatRequestRecord(record, 0),
                  "1970-01-01T00:00:00Z ::1 GET /as/wapi/retrieve_db 200 8192 " + logged + " 0.000 - refused");
    }
}

TEST(RequestLogTest, FirstLineComesBeforeRequestLines) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        RequestLog log(file);
        log.open("listening on 127.0.0.1:1");
        log.write({"127.0.0.1", "GET", "/x", 404, 1, true});
    }
    std::rewind(file);
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "listening on 127.0.0.1:1\n");
    ASSERT_NE(std::fgets(line, sizeof line, file), nullptr);
    EXPECT_NE(std::string(line).find(" GET /x 404 1 - - -\n"), std::string::npos) << line;
    std::fclose(file);
}

TEST(RequestLogTest, ConnectionEventsSayHowManyWereLeftOut) {
    EXPECT_EQ(formatConnectionEvent("::1", "tls-handshake-failed", 0, 0),
              "1970-01-01T00:00:00Z ::1 tls-handshake-failed");
    EXPECT_EQ(formatConnectionEvent("10.0.0.1", "request-timeout", 41, 60),
              "1970-01-01T00:01:00Z 10.0.0.1 request-timeout (41 more not logged)");
}

// One event per key and interval; the next one let through reports those
// held back. A full table makes new keys share one entry until old ones go
// quiet for an interval.
TEST(RateLimitTest, LetsOnePerKeyAndIntervalThroughAndCountsTheRest) {
    using namespace std::chrono_literals;
    RateLimit limit(10s, 2);
    const RateLimit::Clock::time_point start{};
    uint64_t heldBack = 99;
    EXPECT_TRUE(limit.allow("a", start + 1s, &heldBack));
    EXPECT_EQ(heldBack, 0u);
    EXPECT_FALSE(limit.allow("a", start + 2s, &heldBack));
    EXPECT_FALSE(limit.allow("a", start + 10s, &heldBack));
    EXPECT_TRUE(limit.allow("b", start + 3s, &heldBack));
    EXPECT_TRUE(limit.allow("a", start + 11s, &heldBack));
    EXPECT_EQ(heldBack, 2u);

    // "a" and "b" fill the table: "c" and "d" share one entry.
    EXPECT_TRUE(limit.allow("c", start + 12s, &heldBack));
    EXPECT_FALSE(limit.allow("d", start + 12s, &heldBack));
    // "b" has been quiet for an interval: "e" takes its place.
    EXPECT_TRUE(limit.allow("e", start + 14s, &heldBack));
    EXPECT_EQ(heldBack, 0u);
}
