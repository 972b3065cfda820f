// The password record of the configuration file: Base64 round trips,
// decoding of any text (it is read from a file anyone can edit) never
// writes more than it reports, and the cipher gives back every password
// it can store without ever writing past the caller's buffer.
//
// Input: one control byte, then the bytes.
#include "driver/PasswordCipher.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char* const kModes[] = {"A", "M", "L", "x"};
constexpr std::size_t kMaxPassword = 381;  // its Base64 text and NUL fill 512 bytes

void Require(bool bHolds, const char* szWhat) {
    if (bHolds) return;
    std::fprintf(stderr, "property violated: %s\n", szWhat);
    std::abort();
}

// Decodes into a heap buffer of exactly the length the null-buffer call
// reports, so that ASan sees any byte written past it.
std::string DecodeExactly(const std::string& text) {
    std::uint32_t uLength = 0;
    Base64Decode(text, nullptr, uLength);
    std::unique_ptr<unsigned char[]> out(new unsigned char[uLength]);
    std::uint32_t uWritten = 0xFFFFFFFFu;
    Base64Decode(text, out.get(), uWritten);
    Require(uWritten == uLength, "the decoded length does not depend on the buffer");
    return std::string(reinterpret_cast<const char*>(out.get()), uLength);
}

void CheckRoundTrip(const std::string& bytes, bool bLineBreaks) {
    std::string encoded = "left over";
    Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()),
                 encoded, bLineBreaks);
    const std::size_t uGroups = (bytes.size() + 2) / 3;
    const std::size_t uBreaks = bLineBreaks && uGroups > 0 ? (uGroups - 1) / 19 : 0;
    Require(encoded.size() == Base64Length(bytes.size()) + uBreaks, "the text has 4 characters a group, plus breaks");
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (bLineBreaks && i % 77 == 76) {
            Require(c == '\n', "a line feed follows every 76 characters");
        } else if (c == '=') {
            Require(encoded.size() - i <= 2, "padding only at the end");
        } else {
            Require(c != '\0' && std::strchr(kAlphabet, c) != nullptr, "only alphabet characters");
        }
    }
    Require(DecodeExactly(encoded) == bytes, "decoding gives back the bytes");
}

void CheckCipher(const std::string& password, const char* szMode) {
    // In a buffer of exactly the size the Base64 text needs.
    const std::size_t uNeeded = password.empty() ? 1 : Base64Length(password.size()) + 1;
    std::unique_ptr<char[]> szBuffer(new char[uNeeded]);
    std::memcpy(szBuffer.get(), password.c_str(), password.size() + 1);
    Require(EncryptPassword(szBuffer.get(), uNeeded, szMode), "a password that fits is enciphered");
    Require(std::strlen(szBuffer.get()) == (password.empty() ? 0 : uNeeded - 1), "the stored text is its Base64");
    Require(DecryptPassword(szBuffer.get(), szMode), "a stored password is deciphered");
    Require(password == szBuffer.get(), "deciphering gives back the password");

    // One byte short: refused, the buffer as it was.
    if (!password.empty() && password.size() + 1 < uNeeded) {
        std::unique_ptr<char[]> szShort(new char[uNeeded - 1]);
        std::memcpy(szShort.get(), password.c_str(), password.size() + 1);
        Require(!EncryptPassword(szShort.get(), uNeeded - 1, szMode), "a Base64 text that does not fit is refused");
        Require(password == szShort.get(), "a refused password is left as it was");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t uSize) {
    if (uSize == 0) return 0;
    const std::uint8_t uControl = pData[0];
    const std::string bytes(reinterpret_cast<const char*>(pData) + 1, uSize - 1);

    // Any bytes survive the round trip, with and without line breaks.
    CheckRoundTrip(bytes, (uControl & 1) != 0);

    // Any text decodes to at most three bytes per four characters, into
    // exactly the room it reports.
    const std::string decoded = DecodeExactly(bytes);
    Require(decoded.size() <= 3 * ((bytes.size() + 3) / 4), "at most three bytes per group");

    // Any password without a NUL, up to the longest the configuration keeps.
    std::string password(bytes.c_str());
    if (password.size() > kMaxPassword) password.resize(kMaxPassword);
    CheckCipher(password, kModes[(uControl >> 1) % 4]);
    CheckCipher(password, "A");

    // Any text in the password record: deciphered in place, never longer.
    std::string record(bytes.c_str());
    if (record.size() > 511) record.resize(511);
    std::unique_ptr<char[]> szRecord(new char[record.size() + 1]);
    std::memcpy(szRecord.get(), record.c_str(), record.size() + 1);
    const bool bOk = DecryptPassword(szRecord.get(), "A");
    Require(bOk || szRecord[0] == '\0', "a refused record is emptied");
    Require(std::strlen(szRecord.get()) <= record.size(), "the deciphered text is never longer than the record");
    // And in the 512-byte buffer download mode uses.
    char szWork[512];
    std::memcpy(szWork, record.c_str(), record.size() + 1);
    Require(DecryptPassword(szWork, "A"), "a record of up to 511 characters fits the work buffer");
    Require(std::strcmp(szWork, szRecord.get()) == 0, "the same record deciphers the same way");
    return 0;
}
