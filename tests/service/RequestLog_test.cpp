#include <gtest/gtest.h>

#include <cstdio>

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
