// CUsbHidKey against an in-process key: what goes over the wire, in which
// order, and what the channel accepts in the answers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakehid.h"
#include "hex.h"
#include "md5.h"
#include "usbhidkey.h"

using namespace HIDUSBKEY;
using Clock = std::chrono::steady_clock;

namespace {

class Channel : public ::testing::Test {
protected:
    Channel() : path(fake.Add("key").path) {}

    FakeKey& Key() { return fake.key; }
    bool Open(CUsbHidKey& key) { return key.Open(path.c_str()); }
    // Opens and proves the blank password, the usual start of a privileged call.
    void OpenAndVerify(CUsbHidKey& key)
    {
        ASSERT_TRUE(Open(key));
        ASSERT_TRUE(key.VerifyPassword(BLANK_PASSWORD_DIGEST));
    }
    static long Milliseconds(Clock::duration d)
    {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    }

    FakeHid fake;
    std::string path;
};

bool Zero(const uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

} // namespace

TEST_F(Channel, IdentifyKeepsTheSerial)
{
    CUsbHidKey key(fake.devices);
    ASSERT_TRUE(Open(key));
    EXPECT_EQ(ToHexLower(key.SerialNumber(), 8), "0001abcdef10207f");
    ASSERT_EQ(Key().writes.size(), 1u);
    const KeyReport& request = Key().writes[0];
    EXPECT_EQ(request.reportId, 0);
    EXPECT_EQ(request.command, KEY_CMD_IDENTIFY);
    EXPECT_EQ(request.length, 0);
    EXPECT_EQ(request.status, KEY_STATUS_BUSY);
    EXPECT_TRUE(Zero(request.data, sizeof request.data));
}

TEST_F(Channel, IdentityIsComparedIgnoringCase)
{
    std::memcpy(Key().firmware.identity, "BrightHARBOR", 12);
    CUsbHidKey key(fake.devices);
    EXPECT_TRUE(Open(key));
}

TEST_F(Channel, IdentifyAnswersOfAnotherShapeAreRejected)
{
    struct Case {
        const char* what;
        uint8_t length;
        const char* identity;
        uint8_t after;
    } cases[] = {
        {"length 20", 20, "brightharbor", 0},
        {"length 22", 22, "brightharbor", 0},
        {"a byte after the identity", 21, "brightharbor", 'x'},
        {"another identity", 21, "brightharbox", 0},
        {"a shorter identity", 21, "brighthar", 0},
    };
    for (const Case& c : cases) {
        Key().firmware.identifyLength = c.length;
        std::memset(Key().firmware.identity, 0, 12);
        std::memcpy(Key().firmware.identity, c.identity, std::strlen(c.identity));
        Key().firmware.afterIdentity = c.after;
        CUsbHidKey key(fake.devices);
        EXPECT_FALSE(Open(key)) << c.what;
    }
}

TEST_F(Channel, OpenFailsForNoPathOrNoDevice)
{
    CUsbHidKey key(fake.devices);
    EXPECT_FALSE(key.Open(static_cast<const char*>(nullptr)));
    EXPECT_FALSE(key.Open((path + ".missing").c_str()));
    EXPECT_TRUE(Key().writes.empty());
}

TEST_F(Channel, BusyAnswersArePolledUntilTheFinalOne)
{
    CUsbHidKey key(fake.devices);
    for (int i = 0; i < 3; ++i)
        Key().answers.push_back(Answer(KEY_STATUS_BUSY));
    Key().firmware.identifyLength = 21;
    ASSERT_TRUE(Open(key));
    ASSERT_EQ(Key().events.size(), 5u);
    EXPECT_EQ(Key().events[0].kind, 'w');
    EXPECT_EQ(Key().reads, 4);
    // The protocol's waits: 50 ms before the first read and before each poll.
    for (size_t i = 1; i < Key().events.size(); ++i)
        EXPECT_GE(Milliseconds(Key().events[i].at - Key().events[i - 1].at), 50) << "before event " << i;
    EXPECT_GE(Milliseconds(Key().events.back().at - Key().events.front().at), 200);
}

TEST_F(Channel, SetPasswordWaitsHalfASecond)
{
    CUsbHidKey key(fake.devices);
    OpenAndVerify(key);
    Key().events.clear();
    uint8_t digest[16];
    Md5Digest("new", 3, digest);
    ASSERT_TRUE(key.SetPassword(digest));
    ASSERT_EQ(Key().events.size(), 2u);
    EXPECT_GE(Milliseconds(Key().events[1].at - Key().events[0].at), 500);
    const KeyReport& request = Key().writes.back();
    EXPECT_EQ(request.command, KEY_CMD_SET_PASSWORD);
    EXPECT_EQ(request.length, 16);
    EXPECT_EQ(std::memcmp(request.data, digest, 16), 0);
}

TEST_F(Channel, FailureStatusesAreNotBusy)
{
    for (uint8_t status : {uint8_t(0x00), uint8_t(0xFF), uint8_t(0x2F)}) {
        CUsbHidKey key(fake.devices);
        Key().reads = 0;
        Key().answers.push_back(Answer(status, 21));
        EXPECT_FALSE(Open(key)) << int(status);
        EXPECT_EQ(Key().reads, 1) << int(status);
    }
    // After a valid identify too: a final 0xFF fails verify and digest alike.
    CUsbHidKey key(fake.devices);
    OpenAndVerify(key);
    uint8_t digest[16] = {};
    Key().answers.push_back(Answer(0xFF, 1, "\x01"));
    EXPECT_FALSE(key.VerifyPassword(BLANK_PASSWORD_DIGEST));
    Key().answers.push_back(Answer(0xFF, 16, std::string(16, 'd')));
    EXPECT_FALSE(key.HmacMd5(reinterpret_cast<const uint8_t*>("m"), 1, digest));
}

TEST_F(Channel, FailedWriteOrReadFailsTheExchange)
{
    {
        CUsbHidKey key(fake.devices);
        Key().writeOk = false;
        EXPECT_FALSE(Open(key));
        EXPECT_EQ(Key().reads, 0);  // nothing is read after a failed write
        Key().writeOk = true;
    }
    {
        CUsbHidKey key(fake.devices);
        Key().reads = 0;
        Key().failReadNumber = 1;
        EXPECT_FALSE(Open(key));
    }
    {
        // A read that fails while polling a busy key.
        CUsbHidKey key(fake.devices);
        Key().reads = 0;
        Key().failReadNumber = 2;
        Key().answers.push_back(Answer(KEY_STATUS_BUSY));
        EXPECT_FALSE(Open(key));
        EXPECT_EQ(Key().reads, 2);
        Key().answers.clear();
    }
    EXPECT_EQ(Key().writes.size(), 3u);  // the write is never retried
}

TEST_F(Channel, BusyForeverIsBounded)
{
    CUsbHidKey key(fake.devices);
    Key().busyForever = true;
    EXPECT_FALSE(Open(key));
    EXPECT_EQ(Key().reads, static_cast<int>(KEY_MAX_BUSY_ANSWERS));
}

TEST_F(Channel, PasswordCommandsNeedANonZeroFirstByte)
{
    CUsbHidKey key(fake.devices);
    ASSERT_TRUE(Open(key));
    Key().answers.push_back(Answer(KEY_STATUS_OK, 1, std::string(1, '\0')));
    EXPECT_FALSE(key.VerifyPassword(BLANK_PASSWORD_DIGEST));
    Key().answers.push_back(Answer(KEY_STATUS_OK, 1, "\x01"));
    EXPECT_TRUE(key.VerifyPassword(BLANK_PASSWORD_DIGEST));
    Key().answers.push_back(Answer(KEY_STATUS_OK, 1, std::string(1, '\0')));
    EXPECT_FALSE(key.SetPassword(BLANK_PASSWORD_DIGEST));
    // Against the firmware: the wrong password is refused.
    uint8_t wrong[16] = {};
    EXPECT_FALSE(key.VerifyPassword(wrong));
}

TEST_F(Channel, DigestOfWrongLengthLeavesTheOutputUntouched)
{
    CUsbHidKey key(fake.devices);
    OpenAndVerify(key);
    uint8_t digest[16];
    std::memset(digest, 0xA5, sizeof digest);
    Key().answers.push_back(Answer(KEY_STATUS_OK, 15, std::string(16, 'd')));
    EXPECT_FALSE(key.HmacMd5(reinterpret_cast<const uint8_t*>("m"), 1, digest));
    for (uint8_t b : digest)
        EXPECT_EQ(b, 0xA5);

    Key().answers.push_back(Answer(KEY_STATUS_OK, 16, std::string(16, 'd')));
    EXPECT_TRUE(key.HmacMd5(reinterpret_cast<const uint8_t*>("m"), 1, digest));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(digest), 16), std::string(16, 'd'));
}

TEST_F(Channel, MessagesAreSentWithTheirLength)
{
    CUsbHidKey key(fake.devices);
    OpenAndVerify(key);
    uint8_t digest[16];
    ASSERT_TRUE(key.HmacMd5(nullptr, 0, digest));
    const KeyReport& empty = Key().writes.back();
    EXPECT_EQ(empty.command, KEY_CMD_HMAC_MD5);
    EXPECT_EQ(empty.length, 0);
    EXPECT_TRUE(Zero(empty.data, sizeof empty.data));

    uint8_t full[61];
    for (size_t i = 0; i < sizeof full; ++i)
        full[i] = static_cast<uint8_t>(i + 1);
    ASSERT_TRUE(key.HmacMd5(full, 61, digest));
    EXPECT_EQ(Key().writes.back().length, 61);
    EXPECT_EQ(std::memcmp(Key().writes.back().data, full, 61), 0);
    uint8_t expected[16];
    SIMKEY::HmacMd5(Key().firmware.digestKey, full, 61, expected);
    EXPECT_EQ(std::memcmp(digest, expected, 16), 0);
}

TEST_F(Channel, MessagesOverSixtyOneBytesAreNotSent)
{
    CUsbHidKey key(fake.devices);
    OpenAndVerify(key);
    size_t before = Key().writes.size();
    uint8_t message[255] = {};
    uint8_t digest[16];
    EXPECT_FALSE(key.HmacMd5(message, 62, digest));
    EXPECT_FALSE(key.HmacMd5(message, 255, digest));
    EXPECT_EQ(Key().writes.size(), before);
}

TEST_F(Channel, ResetCarriesPrefixAndValue)
{
    CUsbHidKey key(fake.devices);
    OpenAndVerify(key);
    uint8_t value[16];
    for (int i = 0; i < 16; ++i)
        value[i] = static_cast<uint8_t>(0xF0 + i);
    ASSERT_TRUE(key.ResetDigest(value));
    const KeyReport& request = Key().writes.back();
    EXPECT_EQ(request.command, KEY_CMD_RESET_DIGEST);
    EXPECT_EQ(request.length, 18);
    EXPECT_EQ(request.data[0], 0xFC);
    EXPECT_EQ(request.data[1], 0x00);
    EXPECT_EQ(std::memcmp(request.data + 2, value, 16), 0);
    EXPECT_EQ(std::memcmp(Key().firmware.digestKey, value, 16), 0);

    // The reset's answer data is not examined.
    Key().answers.push_back(Answer(KEY_STATUS_OK, 0));
    EXPECT_TRUE(key.ResetDigest(value));
}

TEST_F(Channel, NoRequestCarriesBytesOfAnEarlierOne)
{
    // The answer overwrites the request in place; a key that echoes the
    // request leaves the password digest in the buffer.
    CUsbHidKey key(fake.devices);
    ASSERT_TRUE(Open(key));
    uint8_t digest[16];
    std::memset(digest, 0x77, sizeof digest);
    Key().answers.push_back(Answer(KEY_STATUS_OK, 17, "\x01" + std::string(16, '\x77')));
    ASSERT_TRUE(key.VerifyPassword(digest));
    Key().answers.push_back(Answer(KEY_STATUS_OK, 16, std::string(61, '\x55')));
    ASSERT_TRUE(key.HmacMd5(reinterpret_cast<const uint8_t*>("abc"), 3, digest));
    ASSERT_TRUE(key.Open(path.c_str()));  // identify again on the same buffer

    ASSERT_EQ(Key().writes.size(), 4u);
    const KeyReport& hmac = Key().writes[2];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(hmac.data), 3), "abc");
    EXPECT_TRUE(Zero(hmac.data + 3, sizeof hmac.data - 3));
    const KeyReport& identify = Key().writes[3];
    EXPECT_TRUE(Zero(identify.data, sizeof identify.data));
}

TEST_F(Channel, DestructionReleasesTheDevice)
{
    {
        CUsbHidKey key(fake.devices);
        ASSERT_TRUE(Open(key));
        EXPECT_EQ(fake.preparsedHeld, 1);
        // Held exclusively while open.
        CUsbHidKey second(fake.devices);
        EXPECT_FALSE(Open(second));
    }
    EXPECT_EQ(fake.preparsedHeld, 0);
    CUsbHidKey again(fake.devices);
    EXPECT_TRUE(Open(again));
}
