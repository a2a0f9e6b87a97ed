// The text forms in which serial numbers and digests leave the system and
// hexadecimal arguments enter it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace HIDUSBKEY {

// The current password digest of a key that has never been given a password.
const uint8_t BLANK_PASSWORD_DIGEST[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Two lower-case hexadecimal digits per byte, in order, no separators.
std::string ToHexLower(const uint8_t* bytes, size_t count);
// The same into out, which has room for 2 * count characters and a NUL.
void ToHexLower(const uint8_t* bytes, size_t count, char* out);

// Decodes count bytes from the first 2 * count characters of text (0-9, A-F,
// a-f). Stops with false at the first other character; the bytes before it
// stay written.
bool HexToBytes(uint8_t* out, const char* text, size_t count);
// One hexadecimal digit's value (0-9, A-F, a-f), or -1 for any other character.
int HexDigitValue(char c);

} // namespace HIDUSBKEY
