// Tagged values ("<__N__>value</__N__>") as the configuration file and the
// service's replies carry them, and the byte search that finds markers in a
// received body.
#include "driver/TaggedText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kOpen[] = "<__A__>";
const char kClose[] = "</__A__>";

// Fills a destination with a recognisable earlier content, so that a call
// that must leave it alone can be checked.
struct Dest {
    char aBytes[64];
    Dest() {
        std::memset(aBytes, 'Z', sizeof aBytes);
        std::memcpy(aBytes, "KEEP", 5);
    }
};

struct ExtractCase {
    const char* szName;
    std::string text;  // may hold NUL bytes: the search must stop there
    bool bFound;
    const char* szValue;
};

class ExtractTagValueCases : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(ExtractTagValueCases, FindsValueOrLeavesDestination) {
    const ExtractCase& c = GetParam();
    Dest dest;
    EXPECT_EQ(c.bFound, ExtractTagValue(c.text.c_str(), kOpen, kClose, dest.aBytes, sizeof dest.aBytes));
    EXPECT_STREQ(c.bFound ? c.szValue : "KEEP", dest.aBytes);

    Dest cut;
    EXPECT_EQ(c.bFound, ExtractTagValueCut(c.text.c_str(), kOpen, kClose, cut.aBytes, sizeof cut.aBytes));
    EXPECT_STREQ(c.bFound ? c.szValue : "KEEP", cut.aBytes);
}

INSTANTIATE_TEST_SUITE_P(
    TaggedText, ExtractTagValueCases,
    ::testing::Values(ExtractCase{"Plain", "<__A__>value</__A__>", true, "value"},
                      ExtractCase{"TextAround", "head<__A__>v 1</__A__>tail", true, "v 1"},
                      ExtractCase{"Empty", "<__A__></__A__>", true, ""},
                      ExtractCase{"CloseBeforeOpen", "</__A__>x<__A__>v</__A__>", false, nullptr},
                      ExtractCase{"TwoOpeningTags", "<__A__>a<__A__>b</__A__>", true, "a<__A__>b"},
                      ExtractCase{"TwoClosingTags", "<__A__>a</__A__>b</__A__>", true, "a"},
                      ExtractCase{"NoOpeningTag", "value</__A__>", false, nullptr},
                      ExtractCase{"NoClosingTag", "<__A__>value", false, nullptr},
                      ExtractCase{"NoTags", "value", false, nullptr}, ExtractCase{"EmptyText", "", false, nullptr},
                      ExtractCase{"OpenBehindNul", std::string("x\0<__A__>v</__A__>", 18), false, nullptr},
                      ExtractCase{"CloseBehindNul", std::string("<__A__>v\0</__A__>", 17), false, nullptr},
                      ExtractCase{"OtherNameIgnored", "<__B__>b</__B__><__A__>a</__A__>", true, "a"},
                      ExtractCase{"LineEndsKept", "<__A__>a\r\nb</__A__>", true, "a\r\nb"}),
    [](const ::testing::TestParamInfo<ExtractCase>& info) { return std::string(info.param.szName); });

// The closing tag is searched from the start of the text, so a closing tag
// that is part of the opening tag lies before the value.
TEST(TaggedText, ClosingTagSearchedFromStartOfText) {
    Dest dest;
    EXPECT_FALSE(ExtractTagValue("<a>xa", "<a>", "a", dest.aBytes, sizeof dest.aBytes));
    EXPECT_STREQ("KEEP", dest.aBytes);
    EXPECT_FALSE(ExtractTagValue("<__A__>v</__A__>", "<__A__>", "__>", dest.aBytes, sizeof dest.aBytes));
    EXPECT_STREQ("KEEP", dest.aBytes);
    EXPECT_FALSE(ExtractTagValueCut("<a>xa", "<a>", "a", dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValueCut("<__A__>v</__A__>", "<__A__>", "__>", dest.aBytes, sizeof dest.aBytes));
    EXPECT_STREQ("KEEP", dest.aBytes);
}

TEST(TaggedText, NullArgumentsRefused) {
    const char* szText = "<__A__>v</__A__>";
    Dest dest;
    EXPECT_FALSE(ExtractTagValue(nullptr, kOpen, kClose, dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValue(szText, nullptr, kClose, dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValue(szText, kOpen, nullptr, dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValue(szText, kOpen, kClose, nullptr, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValueCut(nullptr, kOpen, kClose, dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValueCut(szText, nullptr, kClose, dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValueCut(szText, kOpen, nullptr, dest.aBytes, sizeof dest.aBytes));
    EXPECT_FALSE(ExtractTagValueCut(szText, kOpen, kClose, nullptr, sizeof dest.aBytes));
    EXPECT_STREQ("KEEP", dest.aBytes);
}

// A value must fit with its NUL: ExtractTagValue refuses one that does not,
// ExtractTagValueCut keeps its first size - 1 bytes. Neither writes past
// the size it is given.
TEST(TaggedText, DestinationSize) {
    const char* szText = "<__A__>abcd</__A__>";
    struct SizeCase {
        std::size_t uSize;
        bool bRefused;
        const char* szRefuse;  // ExtractTagValue's result text
        const char* szCut;     // ExtractTagValueCut's result text
    };
    const SizeCase cases[] = {
        {6, false, "abcd", "abcd"}, {5, false, "abcd", "abcd"}, {4, true, "KEEP", "abc"},
        {2, true, "KEEP", "a"},     {1, true, "KEEP", ""},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.uSize));
        Dest refuse;
        EXPECT_EQ(!c.bRefused, ExtractTagValue(szText, kOpen, kClose, refuse.aBytes, c.uSize));
        EXPECT_STREQ(c.szRefuse, refuse.aBytes);

        Dest cut;
        EXPECT_TRUE(ExtractTagValueCut(szText, kOpen, kClose, cut.aBytes, c.uSize));
        EXPECT_STREQ(c.szCut, cut.aBytes);
        // "KEEP" and its NUL fill bytes 0 to 4; every byte from 5 on must
        // still be untouched unless it lies within the given size.
        for (std::size_t i = c.uSize > 5 ? c.uSize : 5; i < sizeof cut.aBytes; ++i) {
            ASSERT_EQ('Z', cut.aBytes[i]) << "byte " << i << " written past the size";
        }
    }
    Dest none;
    EXPECT_FALSE(ExtractTagValue(szText, kOpen, kClose, none.aBytes, 0));
    EXPECT_FALSE(ExtractTagValueCut(szText, kOpen, kClose, none.aBytes, 0));
    EXPECT_STREQ("KEEP", none.aBytes);
}

// The configuration file holds its three records joined with nothing in
// between; each value is taken on its own, so the order does not matter and
// a missing record leaves its value unset.
TEST(TaggedText, ConfigurationRecordsReadInAnyOrder) {
    const std::string szServer = "<__ServerAddress__>https://192.0.2.7:81/x</__ServerAddress__>";
    const std::string szEmail = "<__Email__>a.b@example.com</__Email__>";
    const std::string szPassword = "<__Password__>R2I=</__Password__>";
    const std::string texts[] = {szServer + szEmail + szPassword, szPassword + szEmail + szServer,
                                 "junk" + szEmail + "\n" + szServer + "\r\n" + szPassword + "junk"};
    for (const std::string& szText : texts) {
        SCOPED_TRACE(szText);
        char szValue[4096];
        ASSERT_TRUE(
            ExtractTagValue(szText.c_str(), "<__ServerAddress__>", "</__ServerAddress__>", szValue, sizeof szValue));
        EXPECT_STREQ("https://192.0.2.7:81/x", szValue);
        ASSERT_TRUE(ExtractTagValue(szText.c_str(), "<__Email__>", "</__Email__>", szValue, 512));
        EXPECT_STREQ("a.b@example.com", szValue);
        ASSERT_TRUE(ExtractTagValue(szText.c_str(), "<__Password__>", "</__Password__>", szValue, 512));
        EXPECT_STREQ("R2I=", szValue);
    }
    char szValue[512] = "";
    EXPECT_FALSE(
        ExtractTagValue((szServer + szEmail).c_str(), "<__Password__>", "</__Password__>", szValue, sizeof szValue));
    EXPECT_STREQ("", szValue);
}

struct FindCase {
    const char* szName;
    std::string pattern;
    std::string buffer;
    std::int32_t iExpected;
};

class FindBytesCases : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindBytesCases, FirstIndexOrMinusOne) {
    const FindCase& c = GetParam();
    EXPECT_EQ(c.iExpected, FindBytes(c.pattern.data(), static_cast<std::int32_t>(c.pattern.size()), c.buffer.data(),
                                     static_cast<std::int32_t>(c.buffer.size())));
}

INSTANTIATE_TEST_SUITE_P(
    TaggedText, FindBytesCases,
    ::testing::Values(
        FindCase{"WholeBuffer", "abc", "abc", 0}, FindCase{"BufferOneShorter", "abc", "ab", -1},
        FindCase{"AtLastPosition", "xyz", "abcdxyz", 4}, FindCase{"BytesAfterMatch", "xyz", "abcdxyzq", 4},
        FindCase{"Absent", "xyw", "abcdxyz", -1}, FindCase{"PartialMatchesBefore", "aab", "aaaab", 2},
        FindCase{"TwiceGivesLower", "ab", "xabyab", 1},
        FindCase{"BehindZeroBytes", "ab", std::string("\0\0\0ab", 5), 3},
        FindCase{"PatternWithZeroBytes", std::string("\0b\0", 3), std::string("\0a\0\0b\0c", 7), 3},
        FindCase{"HighBytes", "\xff\x80", "\x7f\xff\xff\x80", 2}, FindCase{"EmptyPattern", "", "abc", -1},
        FindCase{"EmptyBoth", "", "", -1}, FindCase{"EmptyBuffer", "a", "", -1},
        FindCase{"FailureMarker", "<__Status__>FAILED</__Status__>",
                 std::string("\x01\x00PK", 4) + "<__Status__>FAILED</__Status__><__Reason__>r</__Reason__>", 4}),
    [](const ::testing::TestParamInfo<FindCase>& info) { return std::string(info.param.szName); });

// The lengths bound the search, not the contents: bytes past them are never
// compared, and negative lengths find nothing.
TEST(TaggedText, FindBytesHonoursLengths) {
    const char aBuffer[] = "abcabc";
    EXPECT_EQ(-1, FindBytes("bc", 2, aBuffer, 2));
    EXPECT_EQ(1, FindBytes("bc", 2, aBuffer, 3));
    EXPECT_EQ(0, FindBytes("abX", 2, aBuffer, 6));
    EXPECT_EQ(-1, FindBytes("a", -1, aBuffer, 6));
    EXPECT_EQ(-1, FindBytes("a", 1, aBuffer, -1));
}

}  // namespace
