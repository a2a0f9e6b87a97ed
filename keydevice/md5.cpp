#include "md5.h"

#include <cstring>


namespace HIDUSBKEY {

namespace {

const uint8_t PADDING[64] = {0x80};

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

const uint32_t SINE_TABLE[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

const int SHIFTS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void Compress(uint32_t state[4], const uint8_t block[64])
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 | uint32_t(block[4 * i + 2]) << 16 |
               uint32_t(block[4 * i + 3]) << 24;

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        int round = i / 16;
        uint32_t f;
        int g;
        switch (round) {
        case 0: f = (b & c) | (~b & d); g = i; break;
        case 1: f = (d & b) | (~d & c); g = (5 * i + 1) % 16; break;
        case 2: f = b ^ c ^ d; g = (3 * i + 5) % 16; break;
        default: f = c ^ (b | ~d); g = (7 * i) % 16; break;
        }
        uint32_t rotated = RotateLeft(a + f + SINE_TABLE[i] + x[g], SHIFTS[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    SecureWipe(x, sizeof x);
}

void CountBlock(Md5Context& context)
{
    context.bitCountLow += 512;
    if (context.bitCountLow == 0)
        ++context.bitCountHigh;
}

void StoreLittleEndian(uint32_t value, uint8_t out[4])
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}

} // namespace

void Md5Init(Md5Context& context)
{
    context.state[0] = 0x67452301;
    context.state[1] = 0xEFCDAB89;
    context.state[2] = 0x98BADCFE;
    context.state[3] = 0x10325476;
    context.bitCountLow = 0;
    context.bitCountHigh = 0;
    context.bufferedBytes = 0;
}

void Md5Update(Md5Context& context, const void* bytes, size_t length)
{
    if (length == 0)
        return;  // bytes may be null then
    const uint8_t* input = static_cast<const uint8_t*>(bytes);
    if (context.bufferedBytes > 0) {
        size_t room = 64 - context.bufferedBytes;
        if (length < room) {
            std::memcpy(context.buffer + context.bufferedBytes, input, length);
            context.bufferedBytes += static_cast<uint32_t>(length);
            return;
        }
        std::memcpy(context.buffer + context.bufferedBytes, input, room);
        Compress(context.state, context.buffer);
        CountBlock(context);
        input += room;
        length -= room;
        context.bufferedBytes = 0;
    }
    for (; length >= 64; input += 64, length -= 64) {
        Compress(context.state, input);
        CountBlock(context);
    }
    if (length > 0)
        std::memcpy(context.buffer, input, length);
    context.bufferedBytes = static_cast<uint32_t>(length);
}

void Md5Final(Md5Context& context, uint8_t digest[MD5_DIGEST_BYTES])
{
    uint32_t bitsLow = context.bitCountLow + 8 * context.bufferedBytes;
    uint32_t bitsHigh = context.bitCountHigh;
    uint32_t r = context.bufferedBytes;
    Md5Update(context, PADDING, r < 56 ? 56 - r : 120 - r);
    uint8_t lengthBytes[8];
    StoreLittleEndian(bitsLow, lengthBytes);
    StoreLittleEndian(bitsHigh, lengthBytes + 4);
    Md5Update(context, lengthBytes, sizeof lengthBytes);
    for (int i = 0; i < 4; ++i)
        StoreLittleEndian(context.state[i], digest + 4 * i);
}

void Md5Digest(const void* bytes, size_t length, uint8_t digest[MD5_DIGEST_BYTES])
{
    Md5Context context;
    Md5Init(context);
    Md5Update(context, bytes, length);
    Md5Final(context, digest);
    // The context held the password.
    SecureWipe(&context, sizeof context);
}

void SecureWipe(void* data, size_t bytes)
{
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (bytes--)
        *p++ = 0;
}

} // namespace HIDUSBKEY
