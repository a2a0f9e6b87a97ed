// The simulated key's firmware, on its own: the RFC 2202 HMAC-MD5 vectors
// that fit the key, and its side of the command contract.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "devicerecord.h"
#include "firmware.h"
#include "hex.h"
#include "md5.h"
#include "usbhidkey.h"

using namespace SIMKEY;
using namespace HIDUSBKEY;

namespace {

const uint8_t SERIAL[8] = {1, 2, 3, 4, 5, 6, 7, 8};

std::string Hmac(uint8_t keyByte, const std::string& message)
{
    uint8_t key[16];
    std::memset(key, keyByte, sizeof key);
    uint8_t digest[16];
    HmacMd5(key, reinterpret_cast<const uint8_t*>(message.data()), message.size(), digest);
    return ToHexLower(digest, 16);
}

class Firmware : public ::testing::Test {
protected:
    void SetUp() override { InitKeyState(key, SERIAL); }

    // One command, answered after any busy answers.
    KeyReport Command(uint8_t command, const std::string& data)
    {
        KeyReport request{};
        request.command = command;
        request.length = static_cast<uint8_t>(data.size());
        std::memcpy(request.data, data.data(), data.size());
        request.status = KEY_STATUS_BUSY;
        Receive(key, reinterpret_cast<const uint8_t*>(&request));
        KeyReport answer{};
        for (int i = 0; i < 300; ++i) {
            Answer(key, reinterpret_cast<uint8_t*>(&answer));
            if (answer.status != KEY_STATUS_BUSY)
                break;
        }
        return answer;
    }
    static std::string Digest(const std::string& password)
    {
        uint8_t digest[16];
        Md5Digest(password.data(), password.size(), digest);
        return std::string(reinterpret_cast<char*>(digest), 16);
    }
    static std::string Blank() { return std::string(16, '\xff'); }
    static std::string Reset(const std::string& value) { return std::string("\xfc\x00", 2) + value; }

    KeyState key;
};

} // namespace

TEST(Rfc2202, HmacMd5VectorsWithSixteenByteKeys)
{
    EXPECT_EQ(Hmac(0x0b, "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(Hmac(0xaa, std::string(50, '\xdd')), "56be34521d144c88dbb8c733f0e8b3f6");
    EXPECT_EQ(Hmac(0x0c, "Test With Truncation"), "56461ef2342edc00f9bab995690efd4c");
}

TEST_F(Firmware, IdentifyCarriesIdentityNulAndSerial)
{
    KeyReport answer = Command(KEY_CMD_IDENTIFY, "");
    EXPECT_EQ(answer.status, KEY_STATUS_OK);
    EXPECT_EQ(answer.length, 21);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer.data), 13), std::string("brightharbor", 13));
    EXPECT_EQ(std::memcmp(answer.data + 13, SERIAL, 8), 0);
}

TEST_F(Firmware, NewKeyAcceptsOnlyTheBlankDigest)
{
    EXPECT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Digest("")).data[0], 0);
    KeyReport answer = Command(KEY_CMD_VERIFY_PASSWORD, Blank());
    EXPECT_EQ(answer.status, KEY_STATUS_OK);
    EXPECT_EQ(answer.data[0], 1);
}

TEST_F(Firmware, PrivilegedCommandsNeedAVerifySinceTheLastIdentify)
{
    EXPECT_EQ(Command(KEY_CMD_SET_PASSWORD, Digest("new")).status, STATUS_NOT_VERIFIED);
    EXPECT_EQ(Command(KEY_CMD_HMAC_MD5, "abc").status, STATUS_NOT_VERIFIED);
    EXPECT_EQ(Command(KEY_CMD_RESET_DIGEST, Reset(std::string(16, 'v'))).status, STATUS_NOT_VERIFIED);

    ASSERT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 1);
    EXPECT_EQ(Command(KEY_CMD_HMAC_MD5, "abc").status, KEY_STATUS_OK);
    Command(KEY_CMD_IDENTIFY, "");
    EXPECT_EQ(Command(KEY_CMD_HMAC_MD5, "abc").status, STATUS_NOT_VERIFIED);

    // A failed verify withdraws an earlier success.
    ASSERT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 1);
    EXPECT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Digest("wrong")).data[0], 0);
    EXPECT_EQ(Command(KEY_CMD_HMAC_MD5, "abc").status, STATUS_NOT_VERIFIED);
}

TEST_F(Firmware, SetPasswordReplacesTheDigest)
{
    ASSERT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 1);
    KeyReport set = Command(KEY_CMD_SET_PASSWORD, Digest("secret"));
    EXPECT_EQ(set.status, KEY_STATUS_OK);
    EXPECT_NE(set.data[0], 0);
    Command(KEY_CMD_IDENTIFY, "");
    EXPECT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 0);
    EXPECT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Digest("secret")).data[0], 1);
}

TEST_F(Firmware, KeyedDigestUsesTheValueOfTheLastReset)
{
    ASSERT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 1);
    ASSERT_EQ(Command(KEY_CMD_RESET_DIGEST, Reset(std::string(16, '\x0b'))).status, KEY_STATUS_OK);
    KeyReport answer = Command(KEY_CMD_HMAC_MD5, "Hi There");
    EXPECT_EQ(answer.status, KEY_STATUS_OK);
    EXPECT_EQ(answer.length, 16);
    EXPECT_EQ(ToHexLower(answer.data, 16), "9294727a3638bb1c13f48ef8158bfc9d");

    // An empty message is digested too.
    EXPECT_EQ(ToHexLower(Command(KEY_CMD_HMAC_MD5, "").data, 16), Hmac(0x0b, ""));
}

TEST_F(Firmware, ResetNeedsItsPrefixAndLength)
{
    ASSERT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 1);
    const std::string value(16, 'v');
    EXPECT_EQ(Command(KEY_CMD_RESET_DIGEST, value + "ab").status, STATUS_BAD_REQUEST);
    EXPECT_EQ(Command(KEY_CMD_RESET_DIGEST, std::string("\xfc\x01", 2) + value).status, STATUS_BAD_REQUEST);
    EXPECT_EQ(Command(KEY_CMD_RESET_DIGEST, Reset(value) + "x").status, STATUS_BAD_REQUEST);
    EXPECT_EQ(std::memcmp(key.digestKey, std::string(16, '\0').data(), 16), 0);
}

TEST_F(Firmware, BusyAnswersPrecedeEveryFinalAnswer)
{
    key.busyAnswers = 3;
    KeyReport request{};
    request.command = KEY_CMD_IDENTIFY;
    request.status = KEY_STATUS_BUSY;
    Receive(key, reinterpret_cast<const uint8_t*>(&request));
    KeyReport answer{};
    for (int i = 0; i < 3; ++i) {
        Answer(key, reinterpret_cast<uint8_t*>(&answer));
        EXPECT_EQ(answer.status, KEY_STATUS_BUSY);
    }
    Answer(key, reinterpret_cast<uint8_t*>(&answer));
    EXPECT_EQ(answer.status, KEY_STATUS_OK);
    // The final answer stays until the next request.
    Answer(key, reinterpret_cast<uint8_t*>(&answer));
    EXPECT_EQ(answer.status, KEY_STATUS_OK);
}

TEST_F(Firmware, FaultSwitches)
{
    key.faults = FAULT_FINAL_STATUS;
    key.finalStatus = 0xFF;
    EXPECT_EQ(Command(KEY_CMD_IDENTIFY, "").status, 0xFF);

    key.faults = FAULT_BUSY_FOREVER;
    EXPECT_EQ(Command(KEY_CMD_IDENTIFY, "").status, KEY_STATUS_BUSY);

    key.faults = FAULT_VERIFY_ZERO;
    KeyReport verify = Command(KEY_CMD_VERIFY_PASSWORD, Blank());
    EXPECT_EQ(verify.status, KEY_STATUS_OK);
    EXPECT_EQ(verify.data[0], 0);

    key.faults = FAULT_DIGEST_LENGTH_15;
    ASSERT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, Blank()).data[0], 1);
    EXPECT_EQ(Command(KEY_CMD_HMAC_MD5, "m").length, 15);

    key.faults = 0;
    key.identifyLength = 22;
    key.afterIdentity = 'x';
    std::memcpy(key.identity, "BRIGHTHARBOR", 12);
    KeyReport identify = Command(KEY_CMD_IDENTIFY, "");
    EXPECT_EQ(identify.length, 22);
    EXPECT_EQ(identify.data[12], 'x');
    EXPECT_EQ(identify.data[0], 'B');
}

TEST_F(Firmware, UnknownCommandsAndReadsWithoutRequestFail)
{
    KeyReport answer{};
    Answer(key, reinterpret_cast<uint8_t*>(&answer));
    EXPECT_EQ(answer.status, STATUS_NO_REQUEST);
    EXPECT_EQ(Command(0x7F, "").status, STATUS_UNKNOWN_COMMAND);
    EXPECT_EQ(Command(KEY_CMD_VERIFY_PASSWORD, "short").status, STATUS_BAD_REQUEST);
}

TEST(DeviceRecord, RoundTripsEveryField)
{
    DeviceRecord record = NewKeyRecord(SERIAL);
    record.productString = std::u16string(MAX_PRODUCT_CHARS, u'\u00e9');
    record.counters = {1, 2, 3, 4, 0xFFFFFFFF};
    record.key.verified = 1;
    record.key.busyAnswers = 7;
    record.key.busyRemaining = 5;
    record.key.hasResponse = 1;
    record.key.faults = FAULT_READ | FAULT_VERIFY_ZERO;
    record.key.finalStatus = 0x42;
    for (size_t i = 0; i < REPORT_BYTES; ++i) {
        record.key.response[i] = static_cast<uint8_t>(i);
        record.key.lastRequest[i] = static_cast<uint8_t>(255 - i);
    }
    uint8_t block[RECORD_BYTES];
    EncodeRecord(record, block);
    DeviceRecord back;
    ASSERT_TRUE(DecodeRecord(block, back));
    EXPECT_EQ(back.kind, KIND_KEY);
    EXPECT_EQ(back.productString, record.productString);
    EXPECT_EQ(back.counters.featureReads, 0xFFFFFFFFu);
    EXPECT_EQ(back.counters.attributeReads, 2u);
    const KeyState& a = back.key;
    const KeyState& b = record.key;
    EXPECT_EQ(std::memcmp(a.serial, b.serial, sizeof a.serial), 0);
    EXPECT_EQ(std::memcmp(a.passwordDigest, b.passwordDigest, sizeof a.passwordDigest), 0);
    EXPECT_EQ(std::memcmp(a.response, b.response, sizeof a.response), 0);
    EXPECT_EQ(std::memcmp(a.lastRequest, b.lastRequest, sizeof a.lastRequest), 0);
    EXPECT_EQ(std::memcmp(a.identity, b.identity, sizeof a.identity), 0);
    EXPECT_EQ(a.verified, 1);
    EXPECT_EQ(a.busyAnswers, 7);
    EXPECT_EQ(a.busyRemaining, 5);
    EXPECT_EQ(a.hasResponse, 1);
    EXPECT_EQ(a.identifyLength, 21);
    EXPECT_EQ(a.finalStatus, 0x42);
    EXPECT_EQ(a.faults, b.faults);

    block[0] = 'X';
    EXPECT_FALSE(DecodeRecord(block, back));
}
