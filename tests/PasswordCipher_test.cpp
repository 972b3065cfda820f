// The stored password: the repeating-key XOR of each mode, the Base64 text
// it is kept in, and the Base64 coder on its own.
#include "driver/PasswordCipher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const std::string& szText) {
    return std::vector<unsigned char>(szText.begin(), szText.end());
}

std::string Encode(const std::string& szBytes, bool bLineBreaks = false) {
    std::string szOut = "left over";
    Base64Encode(reinterpret_cast<const unsigned char*>(szBytes.data()), static_cast<std::uint32_t>(szBytes.size()),
                 szOut, bLineBreaks);
    return szOut;
}

// Decodes twice: once for the length alone, once into a buffer; both must
// agree on the count.
std::vector<unsigned char> Decode(const std::string& szText) {
    std::uint32_t uLength = 12345;
    Base64Decode(szText, nullptr, uLength);
    std::vector<unsigned char> out(uLength + 1, 0xEE);
    std::uint32_t uStored = 54321;
    Base64Decode(szText, out.data(), uStored);
    EXPECT_EQ(uLength, uStored);
    EXPECT_EQ(0xEE, out[uLength]) << "byte written past the reported length";
    out.resize(uStored);
    return out;
}

// Enciphers in a buffer of the given size and returns the stored text.
std::string Encrypt(const std::string& szPassword, const char* szMode, std::size_t uSize = 512) {
    std::vector<char> buffer(uSize, '\0');
    std::memcpy(buffer.data(), szPassword.c_str(), szPassword.size() + 1);
    EXPECT_TRUE(EncryptPassword(buffer.data(), uSize, szMode));
    return std::string(buffer.data());
}

std::string Decrypt(const std::string& szStored, const char* szMode) {
    std::vector<char> buffer(szStored.begin(), szStored.end());
    buffer.push_back('\0');
    EXPECT_TRUE(DecryptPassword(buffer.data(), szMode));
    return std::string(buffer.data());
}

TEST(Base64, Rfc4648Vectors) {
    const struct {
        const char* szPlain;
        const char* szEncoded;
    } vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.szPlain);
        EXPECT_EQ(v.szEncoded, Encode(v.szPlain));
        EXPECT_EQ(v.szEncoded, Encode(v.szPlain, true));
        EXPECT_EQ(Bytes(v.szPlain), Decode(v.szEncoded));
    }
}

// Every byte value, in every position of a group, survives the round trip.
TEST(Base64, AllByteValuesRoundTrip) {
    std::string szAll;
    for (int i = 0; i < 256; ++i) szAll += static_cast<char>(i);
    for (std::size_t uShift = 0; uShift < 3; ++uShift) {
        const std::string szData = szAll.substr(uShift);
        const std::string szText = Encode(szData);
        EXPECT_EQ(szText.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(Bytes(szData), Decode(szText));
    }
    EXPECT_EQ("AP+A", Encode(std::string("\x00\xff\x80", 3)));
}

// With line breaks on, a line feed comes before every group that starts
// past a multiple of 76 characters, and never at the end.
TEST(Base64, LineBreaks) {
    const std::string sz57(57, 'a'), sz58(58, 'a'), sz114(114, 'a'), sz115(115, 'a');
    EXPECT_EQ(std::string::npos, Encode(sz57, true).find('\n'));
    EXPECT_EQ(76u, Encode(sz57, true).size());

    const std::string szBroken = Encode(sz58, true);
    ASSERT_EQ(81u, szBroken.size());
    EXPECT_EQ('\n', szBroken[76]);
    EXPECT_EQ(szBroken.substr(0, 76) + szBroken.substr(77), Encode(sz58));
    EXPECT_EQ(std::string::npos, Encode(sz58).find('\n'));

    const std::string sz152 = Encode(sz114, true);
    EXPECT_EQ(153u, sz152.size());
    EXPECT_EQ(76u, sz152.find('\n'));
    EXPECT_EQ(76u, sz152.rfind('\n'));

    const std::string sz156 = Encode(sz115, true);
    EXPECT_EQ(158u, sz156.size());
    EXPECT_EQ(76u, sz156.find('\n'));
    EXPECT_EQ(153u, sz156.rfind('\n'));
}

// Line feeds (and carriage returns) where a group begins are skipped.
TEST(Base64, DecodeSkipsLineBreaksBetweenGroups) {
    std::string szData;
    for (int i = 0; i < 200; ++i) szData += static_cast<char>(i * 7);
    const std::string szFlat = Encode(szData);
    const std::string szBroken = Encode(szData, true);
    ASSERT_NE(std::string::npos, szBroken.find('\n'));
    EXPECT_EQ(Bytes(szData), Decode(szBroken));

    std::string szCrLf;
    for (std::size_t i = 0; i < szFlat.size(); i += 76) szCrLf += szFlat.substr(i, 76) + "\r\n";
    EXPECT_EQ(Bytes(szData), Decode("\n\n" + szCrLf));
}

// Characters outside the alphabet count as 0 where they stand; a line feed
// inside a group is such a character; a short last group reads as if
// padded with "=".
TEST(Base64, DecodeOddInput) {
    const struct {
        const char* szName;
        std::string text;
        std::vector<unsigned char> expected;
    } cases[] = {
        {"SpaceInGroup", "Zm v", {0x66, 0x60, 0x2F}},
        {"HighCode", "\xC3m9v", {0x02, 'o', 'o'}},
        {"LineFeedInGroup", "Zm\n9v", {0x66, 0x60, 0x3D, 0xBC}},
        {"ShortGroupTwo", "Zg", {'f'}},
        {"ShortGroupThree", "Zm8", {'f', 'o'}},
        {"ShortGroupOne", "Z", {'d'}},
        {"ShortGroupAfterFull", "Zm9vYg", {'f', 'o', 'o', 'b'}},
        {"OnlyLineBreaks", "\r\n\n", {}},
        {"Empty", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.szName);
        EXPECT_EQ(c.expected, Decode(c.text));
    }
}

// The key of each mode shows in the XOR of the stored bytes with the
// password: key characters 0 to k-1, then one position left alone, over
// and over, and the last byte never changed.
TEST(PasswordCipher, ModeSelectsKey) {
    const struct {
        const char* szMode;
        const char* szKey;
    } modes[] = {
        {"A", "&$^pelorinn%&"}, {"M", "%77&*!K417qq8"}, {"L", "%kk&*!mno5qq8"}, {"a", "%&*!K417qq8"},
        {"AA", "%&*!K417qq8"},  {"", "%&*!K417qq8"},    {"X", "%&*!K417qq8"},   {"m", "%&*!K417qq8"},
    };
    const std::string szPassword = "0123456789abcdefghijklmnopqrstuvwxyzABCDE";  // 41 characters
    for (const auto& m : modes) {
        SCOPED_TRACE(std::string("mode \"") + m.szMode + "\"");
        const std::vector<unsigned char> stored = Decode(Encrypt(szPassword, m.szMode));
        ASSERT_EQ(szPassword.size(), stored.size());
        const std::size_t uKey = std::strlen(m.szKey);
        std::string szStream;
        for (std::size_t p = 0; p < stored.size(); ++p) szStream += static_cast<char>(stored[p] ^ szPassword[p]);
        std::string szExpected;
        while (szExpected.size() < szPassword.size()) szExpected += std::string(m.szKey) + '\0';
        szExpected.resize(szPassword.size());
        szExpected.back() = '\0';
        EXPECT_EQ(szExpected, szStream) << "key length " << uKey;
        EXPECT_EQ(szPassword, Decrypt(Encrypt(szPassword, m.szMode), m.szMode));
    }
}

// The worked example of a 20-byte password under the 13-character key of
// mode "A": positions 0-12 take key characters 0-12, 13 is left alone,
// 14-18 take key characters 0-4, 19 (the last) is left alone.
TEST(PasswordCipher, TwentyAndFourteenBytePasswords) {
    const char* szKey = "&$^pelorinn%&";
    const std::string sz20 = "ABCDEFGHIJKLMNOPQRST";
    const std::vector<unsigned char> stored20 = Decode(Encrypt(sz20, "A"));
    ASSERT_EQ(20u, stored20.size());
    for (int p = 0; p <= 12; ++p) EXPECT_EQ(sz20[p] ^ szKey[p], stored20[p]) << "position " << p;
    EXPECT_EQ('N', stored20[13]);
    for (int p = 14; p <= 18; ++p) EXPECT_EQ(sz20[p] ^ szKey[p - 14], stored20[p]) << "position " << p;
    EXPECT_EQ('T', stored20[19]);

    const std::string sz14 = "abcdefghijklmn";
    const std::vector<unsigned char> stored14 = Decode(Encrypt(sz14, "A"));
    ASSERT_EQ(14u, stored14.size());
    for (int p = 0; p <= 12; ++p) EXPECT_EQ(sz14[p] ^ szKey[p], stored14[p]) << "position " << p;
    EXPECT_EQ('n', stored14[13]);
    EXPECT_EQ(sz14, Decrypt(Encrypt(sz14, "A"), "A"));
}

TEST(PasswordCipher, KnownStoredTexts) {
    const struct {
        const char* szPassword;
        const char* szMode;
        const char* szStored;
    } cases[] = {
        {"x", "A", "eA=="},                        // one character: plain Base64
        {"x", "M", "eA=="},  {"ab", "A", "R2I="},  // 'a' ^ '&' = 'G', 'b' unchanged
        {"ab", "M", "RGI="},                       // 'a' ^ '%' = 'D'
        {"&Z", "A", "AFo="},                       // '&' ^ '&' is a zero byte, still encoded
        {"", "A", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.szPassword) + " / " + c.szMode);
        EXPECT_EQ(c.szStored, Encrypt(c.szPassword, c.szMode));
        EXPECT_EQ(c.szPassword, Decrypt(c.szStored, c.szMode));
    }
}

// A character equal to its key character turns into a zero byte, which the
// Base64 text must still cover so that the password comes back whole.
TEST(PasswordCipher, ZeroByteAfterXorRoundTrips) {
    const std::string szPassword = "&$^pxlorinn%&y";  // all but 'x' match the key of mode "A"
    const std::string szStored = Encrypt(szPassword, "A");
    EXPECT_EQ(Base64Length(szPassword.size()), szStored.size());
    const std::vector<unsigned char> stored = Decode(szStored);
    ASSERT_EQ(szPassword.size(), stored.size());
    EXPECT_EQ(0, stored[0]);
    EXPECT_EQ(0, stored[12]);
    EXPECT_EQ('x' ^ 'e', stored[4]);
    EXPECT_EQ(szPassword, Decrypt(szStored, "A"));
}

TEST(PasswordCipher, RoundTripsAndWrongMode) {
    const std::string passwords[] = {"a",
                                     "pw",
                                     "secret",
                                     "p@ss w0rd!~",
                                     "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC",
                                     "&$^p",
                                     std::string(100, '&'),
                                     std::string(255, '\x7f')};
    for (const std::string& szPassword : passwords) {
        SCOPED_TRACE(szPassword);
        for (const char* szMode : {"A", "M", "L", "other"}) {
            EXPECT_EQ(szPassword, Decrypt(Encrypt(szPassword, szMode), szMode)) << szMode;
        }
        if (szPassword.size() >= 2) {
            EXPECT_NE(Encrypt(szPassword, "A"), Encrypt(szPassword, "M"));
            EXPECT_NE(szPassword, Decrypt(Encrypt(szPassword, "A"), "M"));
        }
    }
}

// The largest password that a 512-byte buffer takes is 381 characters
// (508 Base64 characters and the NUL); one more does not fit and the
// buffer is left as it was.
TEST(PasswordCipher, BufferSizeLimits) {
    const std::string sz381(381, 'q');
    const std::string szStored = Encrypt(sz381, "A", 512);
    EXPECT_EQ(508u, szStored.size());
    EXPECT_EQ(sz381, Decrypt(szStored, "A"));

    const std::string sz382(382, 'q');
    char aBuffer[512];
    std::memcpy(aBuffer, sz382.c_str(), sz382.size() + 1);
    EXPECT_FALSE(EncryptPassword(aBuffer, sizeof aBuffer, "A"));
    EXPECT_EQ(sz382, std::string(aBuffer));

    // Exactly enough room: 4 * ceil(n / 3) + 1 bytes.
    char aSmall[9] = "abcd";
    EXPECT_TRUE(EncryptPassword(aSmall, sizeof aSmall, "A"));
    EXPECT_EQ(8u, std::strlen(aSmall));
    char aTooSmall[8] = "abcd";
    EXPECT_FALSE(EncryptPassword(aTooSmall, sizeof aTooSmall, "A"));
    EXPECT_STREQ("abcd", aTooSmall);
}

// The work buffer of the deciphering holds 511 decoded bytes and a NUL; a
// text that decodes to more is refused and the buffer emptied.
TEST(PasswordCipher, OversizedStoredText) {
    const std::string szFill(680, 'Q');      // 510 bytes
    std::string szFits = szFill + "QQ==";    // 511 bytes
    std::string szTooBig = szFill + "QUI=";  // 512 bytes
    std::uint32_t uLength = 0;
    Base64Decode(szFits, nullptr, uLength);
    ASSERT_EQ(511u, uLength);
    Base64Decode(szTooBig, nullptr, uLength);
    ASSERT_EQ(512u, uLength);

    std::vector<char> fits(szFits.begin(), szFits.end());
    fits.push_back('\0');
    EXPECT_TRUE(DecryptPassword(fits.data(), "A"));
    EXPECT_GT(std::strlen(fits.data()), 0u);
    EXPECT_LE(std::strlen(fits.data()), 511u);

    std::vector<char> tooBig(szTooBig.begin(), szTooBig.end());
    tooBig.push_back('\0');
    EXPECT_FALSE(DecryptPassword(tooBig.data(), "A"));
    EXPECT_STREQ("", tooBig.data());
}

// A stored text broken into lines, as another writer might keep it,
// deciphers like the unbroken one.
TEST(PasswordCipher, StoredTextWithLineFeeds) {
    const std::string szPassword(100, 'k');
    const std::string szFlat = Encrypt(szPassword, "A");
    ASSERT_GT(szFlat.size(), 76u);
    const std::string szBroken = szFlat.substr(0, 76) + "\n" + szFlat.substr(76);
    EXPECT_EQ(szPassword, Decrypt(szBroken, "A"));
}

}  // namespace
