// The password as stored in the configuration file: XOR with a fixed key
// chosen by a one-letter mode, then Base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Size of DecryptPassword's work buffer: the decoded bytes and their NUL.
constexpr std::size_t kCipherWorkSize = 512;

// Base64 text length for n bytes, without the NUL: 4 * ceil(n / 3).
std::size_t Base64Length(std::size_t uCount);

// Enciphers the NUL-terminated password in szBuffer (uBufferSize bytes) in
// place, leaving its Base64 text there. An empty password stays empty.
// False, with the buffer unchanged, when the Base64 text and its NUL would
// not fit in uBufferSize bytes.
bool EncryptPassword(char* szBuffer, std::size_t uBufferSize, const char* szMode);

// Deciphers the NUL-terminated Base64 text in szBuffer in place. The
// deciphered text is never longer than the Base64 text, so it always fits.
// False, with the buffer emptied, when the decoded bytes and their NUL
// would not fit in the kCipherWorkSize-byte work buffer.
bool DecryptPassword(char* szBuffer, const char* szMode);

// Standard Base64 (RFC 4648) of uCount bytes into szOutput, which is
// emptied first. With bLineBreaks a line feed follows every 76 characters,
// never at the end.
void Base64Encode(const unsigned char* pData, std::uint32_t uCount, std::string& szOutput, bool bLineBreaks);

// Decodes szInput in groups of four characters, skipping line breaks where
// a group begins; characters outside the alphabet count as 0, and a group
// cut short by the end of the input is read as if padded with "=".
// uOutputLength receives the number of bytes; they are stored only when
// pOutput is not null (it must hold that many).
void Base64Decode(const std::string& szInput, unsigned char* pOutput, std::uint32_t& uOutputLength);
