#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "RateLimit.h"
#include "RequestLog.h"

using namespace backupservice;

TEST(RequestLogTest, FormatsOneLineWithoutControlCharacters) {
    RequestRecord record{"127.0.0.1", "GET", "/a\r\nforged line", 404, 65, true};
    EXPECT_EQ(formatRequestRecord(record, 0), "1970-01-01T00:00:00Z 127.0.0.1 GET /a??forged?line 404 65");
    record.complete = false;
    record.method = "";
    EXPECT_EQ(formatRequestRecord(record, 86400), "1970-01-02T00:00:00Z 127.0.0.1 - /a??forged?line 404 65 incomplete");
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
    EXPECT_NE(std::string(line).find(" GET /x 404 1\n"), std::string::npos) << line;
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
