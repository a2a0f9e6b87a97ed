#include "hex.h"

namespace HIDUSBKEY {

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

void ToHexLower(const uint8_t* bytes, size_t count, char* out)
{
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    out[2 * count] = '\0';
}

std::string ToHexLower(const uint8_t* bytes, size_t count)
{
    std::string text(2 * count, '\0');
    ToHexLower(bytes, count, &text[0]);
    return text;
}

bool HexToBytes(uint8_t* out, const char* text, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        int high = HexDigitValue(text[2 * i]);
        if (high < 0)
            return false;
        int low = HexDigitValue(text[2 * i + 1]);
        if (low < 0)
            return false;
        out[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

} // namespace HIDUSBKEY
