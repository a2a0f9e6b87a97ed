#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "hex.h"

using namespace HIDUSBKEY;

TEST(Hex, SerialIsLowerCaseWithLeadingZeros)
{
    const uint8_t serial[8] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x7F};
    EXPECT_EQ(ToHexLower(serial, 8), "0001abcdef10207f");
    const uint8_t other[8] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
    EXPECT_EQ(ToHexLower(other, 8), "0a1b2c3d4e5f6071");

    char buffer[17];
    std::memset(buffer, 'x', sizeof buffer);
    ToHexLower(serial, 8, buffer);
    EXPECT_STREQ(buffer, "0001abcdef10207f");
    EXPECT_EQ(ToHexLower(serial, 0), "");
}

TEST(Hex, RoundTripsEveryByte)
{
    uint8_t all[256];
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    std::string text = ToHexLower(all, sizeof all);
    ASSERT_EQ(text.size(), 512u);
    uint8_t back[256] = {};
    ASSERT_TRUE(HexToBytes(back, text.c_str(), sizeof back));
    EXPECT_EQ(std::memcmp(all, back, sizeof all), 0);

    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    uint8_t upper[256] = {};
    ASSERT_TRUE(HexToBytes(upper, text.c_str(), sizeof upper));
    EXPECT_EQ(std::memcmp(all, upper, sizeof all), 0);
}

TEST(Hex, MixedCaseDecodes)
{
    uint8_t out[2];
    ASSERT_TRUE(HexToBytes(out, "0aFe", 2));
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0xFE);
    ASSERT_TRUE(HexToBytes(out, "0A0b", 2));
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x0B);
}

TEST(Hex, RejectsCharactersOutsideTheDigits)
{
    for (const char* bad : {"0g", "g0", "x1", "1x", " 1", "1 ", "-1", "0x", "G0", "@0", "`0", "/0", ":0", "\xff""0"}) {
        uint8_t out = 0x55;
        EXPECT_FALSE(HexToBytes(&out, bad, 1)) << bad;
    }
}

TEST(Hex, BytesBeforeABadPairStayWritten)
{
    uint8_t out[3] = {0x11, 0x22, 0x33};
    EXPECT_FALSE(HexToBytes(out, "abcdzz", 3));
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    EXPECT_EQ(out[2], 0x33);
}

TEST(Hex, ZeroCountWritesNothing)
{
    uint8_t out = 0x5A;
    EXPECT_TRUE(HexToBytes(&out, "", 0));
    EXPECT_EQ(out, 0x5A);
}

TEST(Hex, BlankPasswordDigestIsSixteenFFBytes)
{
    EXPECT_EQ(ToHexLower(BLANK_PASSWORD_DIGEST, sizeof BLANK_PASSWORD_DIGEST), std::string(32, 'f'));
}
