#include "driver/PasswordCipher.h"

#include <cstring>
#include <vector>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const char* KeyForMode(const char* szMode) {
    if (szMode != nullptr && std::strcmp(szMode, "A") == 0) return "&$^pelorinn%&";
    if (szMode != nullptr && std::strcmp(szMode, "M") == 0) return "%77&*!K417qq8";
    if (szMode != nullptr && std::strcmp(szMode, "L") == 0) return "%kk&*!mno5qq8";
    return "%&*!K417qq8";
}

// XORs positions 0..n-2 with the key in cycles of key length + 1, the last
// position of each cycle skipped; the last byte is never changed. The step
// is its own inverse.
void ApplyKeyStream(unsigned char* pData, std::size_t uCount, const char* szKey) {
    const std::size_t uKeyLength = std::strlen(szKey);
    for (std::size_t p = 0; p + 1 < uCount; ++p) {
        const std::size_t uIndex = p % (uKeyLength + 1);
        if (uIndex < uKeyLength) pData[p] ^= static_cast<unsigned char>(szKey[uIndex]);
    }
}

struct DecodeTable {
    unsigned char aValues[128];
    DecodeTable() : aValues() {
        for (int i = 0; i < 64; ++i) aValues[static_cast<unsigned char>(kAlphabet[i])] = static_cast<unsigned char>(i);
    }
};

unsigned DecodeValue(unsigned char c) {
    static const DecodeTable table;
    return c < 128 ? table.aValues[c] : 0;
}

}  // namespace

std::size_t Base64Length(std::size_t uCount) { return 4 * ((uCount + 2) / 3); }

bool EncryptPassword(char* szBuffer, std::size_t uBufferSize, const char* szMode) {
    const std::size_t uCount = std::strlen(szBuffer);
    if (uCount == 0) return true;
    if (Base64Length(uCount) + 1 > uBufferSize) return false;
    std::vector<unsigned char> data(szBuffer, szBuffer + uCount);
    ApplyKeyStream(data.data(), uCount, KeyForMode(szMode));
    std::string szEncoded;
    Base64Encode(data.data(), static_cast<std::uint32_t>(uCount), szEncoded, false);
    std::memcpy(szBuffer, szEncoded.c_str(), szEncoded.size() + 1);
    return true;
}

bool DecryptPassword(char* szBuffer, const char* szMode) {
    const std::size_t uCount = std::strlen(szBuffer);
    if (uCount == 0) return true;
    const std::string szEncoded(szBuffer, uCount);
    std::uint32_t uDecoded = 0;
    Base64Decode(szEncoded, nullptr, uDecoded);
    if (uDecoded + 1 > kCipherWorkSize) {
        szBuffer[0] = '\0';
        return false;
    }
    unsigned char aWork[kCipherWorkSize];
    Base64Decode(szEncoded, aWork, uDecoded);
    ApplyKeyStream(aWork, uDecoded, KeyForMode(szMode));
    aWork[uDecoded] = 0;
    // The text ends at its first NUL, never past the Base64 text it replaces.
    std::strcpy(szBuffer, reinterpret_cast<const char*>(aWork));
    return true;
}

void Base64Encode(const unsigned char* pData, std::uint32_t uCount, std::string& szOutput, bool bLineBreaks) {
    szOutput.clear();
    if (uCount == 0) return;
    szOutput.reserve(Base64Length(uCount) + (bLineBreaks ? Base64Length(uCount) / 76 : 0));
    std::size_t uProduced = 0;
    for (std::uint32_t i = 0; i < uCount; i += 3) {
        if (bLineBreaks && uProduced != 0 && uProduced % 76 == 0) szOutput += '\n';
        const unsigned b0 = pData[i];
        const unsigned b1 = i + 1 < uCount ? pData[i + 1] : 0;
        const unsigned b2 = i + 2 < uCount ? pData[i + 2] : 0;
        szOutput += kAlphabet[b0 >> 2];
        szOutput += kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
        szOutput += i + 1 < uCount ? kAlphabet[((b1 & 15) << 2) | (b2 >> 6)] : '=';
        szOutput += i + 2 < uCount ? kAlphabet[b2 & 63] : '=';
        uProduced += 4;
    }
}

void Base64Decode(const std::string& szInput, unsigned char* pOutput, std::uint32_t& uOutputLength) {
    const std::size_t uLength = szInput.size();
    std::uint32_t j = 0;
    // A character past the end of the input reads as padding.
    auto at = [&](std::size_t k) { return k < uLength ? static_cast<unsigned char>(szInput[k]) : '='; };
    std::size_t i = 0;
    while (i < uLength) {
        while (i < uLength && (szInput[i] == '\r' || szInput[i] == '\n')) ++i;
        if (i >= uLength) break;
        const unsigned char c2 = at(i + 2), c3 = at(i + 3);
        const unsigned d0 = DecodeValue(at(i)), d1 = DecodeValue(at(i + 1));
        const unsigned d2 = DecodeValue(c2), d3 = DecodeValue(c3);
        if (pOutput != nullptr) pOutput[j] = static_cast<unsigned char>((d0 << 2) | (d1 >> 4));
        ++j;
        if (c2 != '=') {
            if (pOutput != nullptr) pOutput[j] = static_cast<unsigned char>(((d1 & 15) << 4) | (d2 >> 2));
            ++j;
        }
        if (c3 != '=') {
            if (pOutput != nullptr) pOutput[j] = static_cast<unsigned char>(((d2 & 3) << 6) | d3);
            ++j;
        }
        i += 4;
    }
    uOutputLength = j;
}
