// The origin-bound messages against the shared vectors (computed by
// tools/make_sign_in_vectors.py with Python's hashlib and hmac), with the
// platform's SHA-256: libcrypto natively, CNG under Wine.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "boundmessage.h"
#include "firmware.h"
#include "hex.h"

using namespace KEYMETHODS;
using nlohmann::json;

namespace {

std::vector<uint8_t> Bytes(const std::string& hex)
{
    std::vector<uint8_t> bytes(hex.size() / 2);
    EXPECT_TRUE(HIDUSBKEY::HexToBytes(bytes.data(), hex.data(), bytes.size())) << hex;
    return bytes;
}

json Vectors()
{
    std::ifstream file(TALLYKEY_VECTORS_DIR "/sign-in.json", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return json::parse(text.str());
}

} // namespace

TEST(BoundMessages, EveryVectorByteForByteAndTheKeysDigestOfIt)
{
    const json vectors = Vectors()["vectors"];
    ASSERT_GE(vectors.size(), 10u);
    for (const json& v : vectors) {
        const bool signIn = v["purpose"] == "sign-in";
        const std::string origin = v["origin"];
        std::vector<uint8_t> payload;
        if (signIn) {
            payload = Bytes(v["challenge"]);
        } else {
            const std::string text = v["text"];
            payload.assign(text.begin(), text.end());
        }
        const std::vector<uint8_t> message = BoundMessage(signIn ? Purpose::SignIn : Purpose::Confirm, origin,
                                                          payload.data(), payload.size(), PlatformSha256);
        EXPECT_EQ(HIDUSBKEY::ToHexLower(message.data(), message.size()), v["message"].get<std::string>()) << origin;
        EXPECT_LE(message.size(), 52u) << "one key command carries it";
        uint8_t digest[16];
        SIMKEY::HmacMd5(Bytes(v["digestKey"]).data(), message.data(), message.size(), digest);
        EXPECT_EQ(HIDUSBKEY::ToHexLower(digest, 16), v["digest"].get<std::string>()) << origin;
        EXPECT_TRUE(BeginsWithPurposeTag(message.data(), message.size()));
    }
}

TEST(BoundMessages, PayloadsOutOfBoundsAndTheTagsAPageCannotSend)
{
    const std::vector<uint8_t> bytes(1025, 'x');
    for (size_t length : {size_t{0}, size_t{15}, size_t{33}})
        EXPECT_TRUE(BoundMessage(Purpose::SignIn, "https://a.example", bytes.data(), length, PlatformSha256).empty())
            << length;
    EXPECT_EQ(BoundMessage(Purpose::SignIn, "https://a.example", bytes.data(), 16, PlatformSha256).size(), 36u);
    EXPECT_TRUE(BoundMessage(Purpose::Confirm, "https://a.example", bytes.data(), 1025, PlatformSha256).empty());
    EXPECT_TRUE(BoundMessage(Purpose::SignIn, "", bytes.data(), 16, PlatformSha256).empty());
    EXPECT_TRUE(BoundMessage(Purpose::SignIn, "https://a.example", bytes.data(), 16, nullptr).empty());
    // A sign-in and a confirmation never share a message.
    const std::vector<uint8_t> signIn = BoundMessage(Purpose::SignIn, "https://a.example", bytes.data(), 16,
                                                     PlatformSha256);
    const std::vector<uint8_t> confirm = BoundMessage(Purpose::Confirm, "https://a.example", bytes.data(), 16,
                                                      PlatformSha256);
    EXPECT_NE(std::vector<uint8_t>(signIn.begin(), signIn.begin() + 4),
              std::vector<uint8_t>(confirm.begin(), confirm.begin() + 4));
    const uint8_t tagged[] = {0xF8, 0x54, 0x4B, 0x53, 0x00}, almost[] = {0xF8, 0x54, 0x4B, 0x54};
    EXPECT_TRUE(BeginsWithPurposeTag(tagged, sizeof tagged));
    EXPECT_FALSE(BeginsWithPurposeTag(tagged, 3));
    EXPECT_FALSE(BeginsWithPurposeTag(almost, sizeof almost));
    // SHA-256 of nothing and of "abc" (FIPS 180-2), from the platform.
    uint8_t digest[SHA256_BYTES];
    ASSERT_TRUE(PlatformSha256(nullptr, 0, digest));
    EXPECT_EQ(HIDUSBKEY::ToHexLower(digest, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ASSERT_TRUE(PlatformSha256(reinterpret_cast<const uint8_t*>("abc"), 3, digest));
    EXPECT_EQ(HIDUSBKEY::ToHexLower(digest, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
