// The product's key-device layer bound for real (hid.dll and SETUPAPI.DLL on
// Windows, hidapi on Linux) to the simulated providers, over device files:
// what a program using the layer meets with simulated keys attached.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "childprocess.h"
#include "devicerecord.h"
#include "hex.h"
#include "keyfinder.h"
#include "md5.h"
#ifdef _WIN32
#include "hidapi.h"
#endif
#include "usbhidkey.h"

using namespace HIDUSBKEY;
using namespace SIMKEY;
namespace fs = std::filesystem;

namespace {

void SetDeviceFolder(const std::string& folder)
{
#ifdef _WIN32
    SetEnvironmentVariableA(DEVICE_DIR_VARIABLE, folder.c_str());
#else
    setenv(DEVICE_DIR_VARIABLE, folder.c_str(), 1);
#endif
}

class SimDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("tallykey-simdevices-" + std::string(::testing::UnitTest::GetInstance()
                                                                                      ->current_test_info()
                                                                                      ->name()));
        fs::remove_all(folder);
        fs::create_directories(folder);
        SetDeviceFolder(folder.string());
        devices = BindSystemDevices();
        ASSERT_TRUE(devices->IsComplete());
    }
    void TearDown() override
    {
        devices.reset();
        std::error_code error;
        fs::remove_all(folder, error);
    }

    std::string PathOf(const std::string& name) { return (folder / (name + DEVICE_FILE_SUFFIX)).string(); }
    void Store(const std::string& name, const DeviceRecord& record)
    {
        uint8_t block[RECORD_BYTES];
        EncodeRecord(record, block);
        FILE* file = std::fopen(PathOf(name).c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(block, 1, sizeof block, file), sizeof block);
        std::fclose(file);
    }
    DeviceRecord Load(const std::string& name)
    {
        uint8_t block[RECORD_BYTES] = {};
        FILE* file = std::fopen(PathOf(name).c_str(), "rb");
        EXPECT_NE(file, nullptr);
        if (file) {
            EXPECT_EQ(std::fread(block, 1, sizeof block, file), sizeof block);
            std::fclose(file);
        }
        DeviceRecord record{};
        EXPECT_TRUE(DecodeRecord(block, record));
        return record;
    }
    DeviceRecord Key(uint8_t lastSerialByte)
    {
        const uint8_t serial[8] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, lastSerialByte};
        return NewKeyRecord(serial);
    }
    unsigned Count()
    {
        CUsbHidKeyFinder finder(*devices);
        finder.Scan();
        return finder.Count();
    }
    std::string FirstName()
    {
        CUsbHidKeyFinder finder(*devices);
        finder.Scan();
        return finder.FirstPath() ? fs::path(finder.FirstPath()).stem().string() : "";
    }

    fs::path folder;
    std::unique_ptr<DeviceTable> devices;
};

} // namespace

TEST_F(SimDevices, NoDevices)
{
    CUsbHidKeyFinder finder(*devices);
    finder.Scan();
    EXPECT_EQ(finder.Count(), 0u);
    EXPECT_EQ(finder.FirstPath(), nullptr);
}

TEST_F(SimDevices, TwoKeysInEnumerationOrder)
{
    Store("b-key", Key(2));
    Store("a-mouse", NewOtherHidRecord(0x046D, 0xC077, u"USB Optical Mouse"));
    Store("c-key", Key(3));
    CUsbHidKeyFinder finder(*devices);
    finder.Scan();
    EXPECT_EQ(finder.Count(), 2u);
    ASSERT_NE(finder.FirstPath(), nullptr);
    EXPECT_EQ(fs::path(finder.FirstPath()).stem().string(), "b-key");

    CUsbHidKey key(*devices);
    ASSERT_TRUE(key.Open(finder.First()));
    EXPECT_EQ(ToHexLower(key.SerialNumber(), 8), "1020304050607002");
}

#ifndef _WIN32
TEST_F(SimDevices, ANodeListedOncePerUsageIsStillOneKey)
{
    // hidapi may list one hidraw node several times; counted per entry, a
    // single key would read as -3.
    Store("key", Key(1));
    Store("mouse", NewOtherHidRecord(0x046D, 0xC077, u"USB Optical Mouse"));
    setenv("TALLYKEY_SIMKEY_HIDAPI_USAGES", "3", 1);
    unsigned count = Count();
    unsetenv("TALLYKEY_SIMKEY_HIDAPI_USAGES");
    EXPECT_EQ(count, 1u);
    // hidapi's listing carries the ids: no device is opened to find keys.
    EXPECT_EQ(Load("key").counters.preparsedDataGets, 0u);
    EXPECT_EQ(Load("mouse").counters.preparsedDataGets, 0u);
}
#endif

TEST_F(SimDevices, ProductStringInAnotherCaseIsCounted)
{
    DeviceRecord key = Key(1);
    key.productString = u"WWW.BhrbKey.CN";
    Store("key", key);
    EXPECT_EQ(Count(), 1u);
}

TEST_F(SimDevices, RightStringWithWrongIdsIsNotCountedNorItsStringRead)
{
    Store("vendor", NewOtherHidRecord(0x0112, 0x0111, u"www.bhrbkey.cn"));
    Store("product", NewOtherHidRecord(0x0111, 0x0001, u"www.bhrbkey.cn"));
    Store("string", NewOtherHidRecord(0x0111, 0x0111, u"www.bhrbkey.com"));
    EXPECT_EQ(Count(), 0u);
#ifdef _WIN32
    EXPECT_EQ(Load("vendor").counters.attributeReads, 1u);
    EXPECT_EQ(Load("vendor").counters.productStringReads, 0u);
    EXPECT_EQ(Load("product").counters.productStringReads, 0u);
    EXPECT_EQ(Load("string").counters.productStringReads, 1u);
#else
    // hidapi lists ids and product strings: none of them is opened.
    for (const char* name : {"vendor", "product", "string"})
        EXPECT_EQ(Load(name).counters.preparsedDataGets, 0u) << name;
#endif
}

TEST_F(SimDevices, AKeyHeldByAnotherProcessIsNeitherCountedNorOpenable)
{
    Store("held", Key(1));
    std::string ready = (folder / "held.ready").string();
#ifdef _WIN32
    const std::string tool = ProgramFolder() + "simkey.exe";
#else
    const std::string tool = ProgramFolder() + "simkey";
#endif
    ChildProcess holder(tool, {"--dir", folder.string(), "hold", "held", "--ready", ready, "--seconds", "60"});
    ASSERT_TRUE(holder.Started());
    for (int i = 0; i < 200 && !fs::exists(ready); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(ready)) << "the holder never held the key";

    EXPECT_EQ(Count(), 0u);
    CUsbHidKey key(*devices);
    EXPECT_FALSE(key.Open(PathOf("held").c_str()));

    holder.Kill();
    EXPECT_EQ(Count(), 1u);
}

TEST_F(SimDevices, ScanningTwiceGivesTheSameList)
{
    Store("k1", Key(1));
    Store("k2", Key(2));
    CUsbHidKeyFinder finder(*devices);
    finder.Scan();
    std::string first = finder.FirstPath();
    finder.Scan();
    EXPECT_EQ(finder.Count(), 2u);
    EXPECT_EQ(first, finder.FirstPath());
}

TEST_F(SimDevices, KeyStatePersistsAcrossOpensAndTheDigestIsHmacMd5)
{
    Store("key", Key(9));
    uint8_t password[16];
    Md5Digest("s3cret", 6, password);
    uint8_t value[16];
    ASSERT_TRUE(HexToBytes(value, "00112233445566778899aabbccddeeff", 16));
    {
        CUsbHidKey key(*devices);
        ASSERT_TRUE(key.Open(PathOf("key").c_str()));
        ASSERT_TRUE(key.VerifyPassword(BLANK_PASSWORD_DIGEST));
        ASSERT_TRUE(key.SetPassword(password));
    }
    uint8_t digest[16];
    {
        CUsbHidKey key(*devices);
        ASSERT_TRUE(key.Open(PathOf("key").c_str()));
        EXPECT_FALSE(key.VerifyPassword(BLANK_PASSWORD_DIGEST));
        ASSERT_TRUE(key.VerifyPassword(password));
        ASSERT_TRUE(key.ResetDigest(value));
        ASSERT_TRUE(key.HmacMd5(reinterpret_cast<const uint8_t*>("challenge"), 9, digest));
    }
    // The device file is held exclusively while the key is open: read it after.
    uint8_t expected[16];
    SIMKEY::HmacMd5(value, reinterpret_cast<const uint8_t*>("challenge"), 9, expected);
    EXPECT_EQ(ToHexLower(digest, 16), ToHexLower(expected, 16));
    EXPECT_EQ(std::memcmp(Load("key").key.passwordDigest, password, 16), 0);
}

TEST_F(SimDevices, BusyAnswersAreWaitedFor)
{
    DeviceRecord record = Key(1);
    record.key.busyAnswers = 3;
    Store("key", record);
    {
        CUsbHidKey key(*devices);
        EXPECT_TRUE(key.Open(PathOf("key").c_str()));
    }
    DeviceRecord after = Load("key");
    EXPECT_EQ(after.counters.featureWrites, 1u);
    EXPECT_EQ(after.counters.featureReads, 4u);
}

TEST_F(SimDevices, FaultSwitchesFailTheKey)
{
#ifdef _WIN32
    // Only an opened interface tells its ids and product string.
    const bool listedUnopened = false;
#else
    // hidapi lists ids and product string without opening the device.
    const bool listedUnopened = true;
#endif
    struct Case {
        const char* what;
        uint32_t faults;
        bool counted;
        bool opens;  // the open itself looks at neither attributes nor product string
    } cases[] = {
        {"no preparsed data", FAULT_NO_PREPARSED, listedUnopened, false},
        {"attributes", FAULT_ATTRIBUTES, listedUnopened, true},
        {"product string", FAULT_PRODUCT_STRING, listedUnopened, true},
        {"write", FAULT_WRITE, true, false},
        {"read", FAULT_READ, true, false},
        {"final status", FAULT_FINAL_STATUS, true, false},
        {"busy forever", FAULT_BUSY_FOREVER, true, false},
    };
    for (const Case& c : cases) {
        DeviceRecord record = Key(1);
        record.key.faults = c.faults;
        record.key.finalStatus = 0x00;
        Store("key", record);
        EXPECT_EQ(Count(), c.counted ? 1u : 0u) << c.what;
        CUsbHidKey key(*devices);
        EXPECT_EQ(key.Open(PathOf("key").c_str()), c.opens) << c.what;
    }
}

TEST(HidLibraryMissing, TableIsIncomplete)
{
    if (!std::getenv("TALLYKEY_TEST_HID_MISSING"))
        GTEST_SKIP() << "runs where the HID library cannot be loaded";
#ifdef _WIN32
    HidApi api{};
    api.Bind();
    EXPECT_EQ(api.hid.module, nullptr);
    EXPECT_EQ(api.hid.HidD_GetHidGuid, nullptr);
    // The system's setupapi.dll is there as ever; only hid.dll is gone.
    EXPECT_NE(api.setup.module, nullptr);
    EXPECT_NE(api.setup.SetupDiGetClassDevsA, nullptr);
    EXPECT_FALSE(api.IsComplete());
    api.Release();
#endif
    // On Linux: a hidapi that lacks entry points is not bound at all.
    EXPECT_FALSE(BindSystemDevices()->IsComplete());
}
