// Message texts for the error codes that the socket layer and the driver log.
#include "utility/SocketErrorText.h"

#include "support/TestProcess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

const bool kBuiltForWindows = testprocess::BuiltForWindows();

// The fixed texts, one "code text" line each, written out from the list of
// Winsock codes the program knows by name.
const char kFixedTexts[] = R"(
10004 Interrupted function call.
10013 Permission denied.
10014 Bad address.
10022 Invalid argument.
10024 Too many open files.
10035 Resource temporarily unavailable.
10036 Operation now in progress.
10037 Operation already in progress.
10038 MySocket operation on nonsocket.
10039 Destination address required.
10040 Message too long.
10041 Protocol wrong type for socket.
10042 Bad protocol option.
10043 Protocol not supported.
10044 MySocket type not supported.
10045 Operation not supported.
10046 Protocol family not supported.
10047 Address family not supported by protocol family.
10048 Address already in use.
10049 Cannot assign requested address.
10050 Network is down.
10051 Network is unreachable.
10052 Network dropped connection on reset.
10053 Software caused connection abort.
10054 Connection reset by peer.
10055 No buffer space available.
10056 MySocket is already connected.
10057 MySocket is not connected.
10058 Cannot send after socket shutdown.
10060 Connection timed out.
10061 Connection refused.
10064 Host is down.
10065 No route to host.
10067 Too many processes.
10091 Network subsystem is unavailable.
10092 Winsock.dll version out of range.
10093 Successful WSAStartup not yet performed.
10101 Graceful shutdown in progress.
10109 Class type not found.
11001 Host not found.
11002 Nonauthoritative host not found.
11003 This is a nonrecoverable error.
11004 Valid name, no data record of requested type.)";

struct TableEntry {
    int iCode;
    std::string text;
};

std::vector<TableEntry> ReadTable() {
    std::vector<TableEntry> table;
    std::istringstream lines(kFixedTexts);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const std::size_t uSpace = line.find(' ');
        table.push_back({std::stoi(line.substr(0, uSpace)), line.substr(uSpace + 1)});
    }
    return table;
}

const std::vector<TableEntry> kTable = ReadTable();

bool InTable(int iCode) {
    for (const TableEntry& entry : kTable) {
        if (entry.iCode == iCode) return true;
    }
    return false;
}

// A text of the shared buffer: NUL-terminated well within its 128 bytes.
void ExpectBufferText(const char* szText) {
    ASSERT_NE(nullptr, szText);
    EXPECT_LT(std::strlen(szText), 128u);
}

// Windows gives its own message texts; the C library's texts stand in for
// them elsewhere.
bool LooksLikeWindowsSystemText(const char* /*szText*/) { return kBuiltForWindows; }

TEST(SocketErrorText, FixedTexts) {
    ASSERT_EQ(43u, kTable.size());
    for (const TableEntry& entry : kTable) {
        EXPECT_STREQ(entry.text.c_str(), GetSocketErrorText(entry.iCode)) << "code " << entry.iCode;
    }
    // The four that read "MySocket", and the fixed texts stay put: the same
    // constant on every call, never the shared buffer.
    for (int iCode : {10038, 10044, 10056, 10057}) {
        EXPECT_EQ(0, std::strncmp("MySocket ", GetSocketErrorText(iCode), 9)) << iCode;
    }
    const char* szFirst = GetSocketErrorText(10035);
    GetSocketErrorText(99999);
    EXPECT_EQ(szFirst, GetSocketErrorText(10035));
    EXPECT_STREQ("Resource temporarily unavailable.", szFirst);
}

// Every code between and around the table's rows goes to the system text,
// which lies in the one shared buffer.
TEST(SocketErrorText, CodesOutsideTableShareOneBuffer) {
    const char* szShared = GetSocketErrorText(0);
    ExpectBufferText(szShared);
    for (int iCode :
         {10059, -1, -10035, 99999, 1, 10003, 10005, 10062, 10110, 11000, 11005, 2147483647, -2147483647 - 1}) {
        SCOPED_TRACE(iCode);
        ASSERT_FALSE(InTable(iCode));
        const char* szText = GetSocketErrorText(iCode);
        EXPECT_EQ(szShared, szText);
        ExpectBufferText(szText);
    }
    // One line each: a line break of the system's would reach the log.
    for (int iCode = 9990; iCode <= 11010; ++iCode) {
        if (InTable(iCode)) continue;
        const char* szText = GetSocketErrorText(iCode);
        ASSERT_EQ(szShared, szText) << "code " << iCode;
        ASSERT_LT(std::strlen(szText), 128u) << "code " << iCode;
        ASSERT_EQ(nullptr, std::strpbrk(szText, "\r\n")) << "code " << iCode;
    }
}

// A code the system has no text for gives an empty text, even right after
// a code that filled the buffer.
TEST(SocketErrorText, CodeWithoutTextGivesEmptyTextNotThePreviousOne) {
    ASSERT_STRNE("", GetSocketErrorText(2));  // no such file, on every system
    EXPECT_STREQ("", GetSocketErrorText(2147483647));
}

// Without a system message catalogue the text comes from the C library, for
// the system error that stands behind the Winsock code, and is empty when no
// text is known. Under Windows the system supplies its own texts instead.
TEST(SocketErrorText, CLibraryTextsForOtherCodes) {
    const struct {
        int iCode;
        std::errc condition;
    } cases[] = {
        {10062, std::errc::too_many_symbolic_link_levels},
        {10063, std::errc::filename_too_long},
        {10066, std::errc::directory_not_empty},
        {10009, std::errc::bad_file_descriptor},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.iCode);
        const char* szText = GetSocketErrorText(c.iCode);
        ExpectBufferText(szText);
        if (LooksLikeWindowsSystemText(szText)) GTEST_SKIP() << "system message texts: " << szText;
        EXPECT_EQ(std::generic_category().message(static_cast<int>(c.condition)), std::string(szText));
    }
    EXPECT_STREQ("Too many levels of symbolic links", GetSocketErrorText(10062));

    // A code without a known text gives an empty text, even right after a
    // code that filled the buffer.
    ASSERT_STRNE("", GetSocketErrorText(10062));
    for (int iCode : {99999, -1, 0}) {
        const char* szText = GetSocketErrorText(iCode);
        EXPECT_STREQ("", szText) << "code " << iCode;
    }
}

// After a second code outside the table, the shared buffer holds that
// code's text.
TEST(SocketErrorText, SecondCallOverwritesSharedBuffer) {
    const char* szFirst = GetSocketErrorText(10062);
    const std::string szFirstText = szFirst;
    const char* szSecond = GetSocketErrorText(10063);
    ExpectBufferText(szSecond);
    EXPECT_EQ(szFirst, szSecond);
    if (LooksLikeWindowsSystemText(szSecond) || szFirstText.empty()) {
        GTEST_SKIP() << "no distinct system texts to compare";
    }
    EXPECT_NE(szFirstText, std::string(szSecond));
    EXPECT_EQ(std::generic_category().message(static_cast<int>(std::errc::filename_too_long)), std::string(szSecond));
}

}  // namespace
