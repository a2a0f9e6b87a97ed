// CUsbHidKeyFinder and EnumerateHidInterfaces against in-process HID
// interfaces: which ones count as keys, in which order, and that every
// handle, preparsed-data block and device set is given back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakehid.h"
#include "keyfinder.h"
#include "usbhidkey.h"

using namespace HIDUSBKEY;

namespace {

class Finder : public ::testing::Test {
protected:
    std::vector<std::string> Scan()
    {
        CUsbHidKeyFinder finder(fake.devices);
        finder.Scan();
        std::vector<std::string> names;
        // FirstPath is the only way to a path from outside; the count says how many.
        if (finder.Count() > 0)
            names.push_back(Name(finder.FirstPath()));
        count = finder.Count();
        return names;
    }
    std::vector<std::string> Paths()
    {
        std::vector<std::string> paths;
        EXPECT_TRUE(EnumerateHidInterfaces(fake.api.setup, fake.api.hid, paths));
        return paths;
    }
    std::string Name(const std::string& path)
    {
        for (const FakeInterface& device : fake.interfaces) {
            if (device.path == path)
                return device.name;
        }
        return "?" + path;
    }
    void TearDown() override
    {
        EXPECT_EQ(fake.preparsedHeld, 0) << "preparsed data not freed";
        EXPECT_EQ(fake.setsCreated, fake.setsDestroyed) << "device set not destroyed";
    }

    FakeHid fake;
    unsigned count = 0;
};

} // namespace

TEST_F(Finder, NoDevices)
{
    CUsbHidKeyFinder finder(fake.devices);
    finder.Scan();
    EXPECT_EQ(finder.Count(), 0u);
    EXPECT_EQ(finder.FirstPath(), nullptr);
    EXPECT_EQ(fake.setsDestroyed, 1);
}

TEST_F(Finder, KeysAmongOtherDevicesInEnumerationOrder)
{
    fake.Add("mouse").vendorId = 0x046D;
    fake.Add("key-b");
    fake.Add("keyboard").product = u"USB Keyboard";
    fake.Add("key-a");
    EXPECT_EQ(Scan(), std::vector<std::string>{"key-b"});
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Paths().size(), 4u);
}

TEST_F(Finder, ProductStringIsComparedIgnoringCase)
{
    fake.Add("upper").product = u"WWW.BHRBKEY.CN";
    fake.Add("mixed").product = u"Www.BhrbKey.Cn";
    Scan();
    EXPECT_EQ(count, 2u);
}

TEST_F(Finder, OtherProductStringsAreNotKeys)
{
    for (const char16_t* product : {u"www.bhrbkey.c", u"www.bhrbkey.cn ", u"www.bhrbkey.cnx", u"", u"bhrbkey.cn",
                                    u"www.bhrb\u212Aey.cn" /* Kelvin sign for k */}) {
        fake.Add("device" + std::to_string(fake.interfaces.size())).product = product;
    }
    Scan();
    EXPECT_EQ(count, 0u);
}

TEST_F(Finder, ProductStringFillingTheWholeBufferIsNotAKey)
{
    fake.Add("long").product = std::u16string(u"www.bhrbkey.cn") + std::u16string(200, u'x');
    Scan();
    EXPECT_EQ(count, 0u);
}

TEST_F(Finder, WrongIdsAreNotKeysAndTheirProductStringIsNotRead)
{
    FakeInterface& vendor = fake.Add("vendor");
    vendor.vendorId = 0x0112;
    FakeInterface& product = fake.Add("product");
    product.productId = 0x0110;
    Scan();
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(vendor.attributeReads, 1);
    EXPECT_EQ(vendor.productStringReads, 0);
    EXPECT_EQ(product.productStringReads, 0);
}

TEST_F(Finder, UnreadableInterfacesAreSkipped)
{
    fake.Add("no-preparsed").preparsedAnswer = FALSE;
    fake.Add("preparsed-2").preparsedAnswer = 2;  // only TRUE itself is success; its data is still freed
    fake.Add("no-attributes").attributesOk = false;
    fake.Add("no-product").productStringOk = false;
    fake.Add("no-detail").detailOk = false;
    fake.Add("good");
    EXPECT_EQ(Scan(), std::vector<std::string>{"good"});
    EXPECT_EQ(count, 1u);
    // Nothing is asked of them after preparsed data fails.
    EXPECT_EQ(fake.interfaces[0].attributeReads, 0);
    EXPECT_EQ(fake.interfaces[1].attributeReads, 0);
}

TEST_F(Finder, ClaimedDetailSizesOverTheCapAreNotTrusted)
{
    fake.Add("at-the-cap").claimedDetailBytes = MAX_INTERFACE_DETAIL_BYTES;
    fake.Add("over-the-cap").claimedDetailBytes = MAX_INTERFACE_DETAIL_BYTES + 1;
    fake.Add("near-4-gib").claimedDetailBytes = 0xFFFFFFF0u;
    fake.Add("good");
    EXPECT_EQ(Scan(), std::vector<std::string>{"at-the-cap"});
    EXPECT_EQ(count, 2u);  // and "good"
    EXPECT_EQ(fake.interfaces[1].detailFills, 0);
    EXPECT_EQ(fake.interfaces[2].detailFills, 0);
}

TEST_F(Finder, MalformedDetailsAreSkipped)
{
    fake.Add("below-the-header").claimedDetailBytes = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) - 1;
    fake.Add("unterminated").unterminatedPath = true;
    fake.Add("good");
    EXPECT_EQ(Scan(), std::vector<std::string>{"good"});
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(fake.interfaces[0].detailFills, 0);
    EXPECT_EQ(fake.interfaces[1].detailFills, 1);
}

TEST_F(Finder, AWalkThatNeverEndsIsCapped)
{
    fake.Add("key");
    fake.endlessEnumeration = true;
    EXPECT_EQ(Paths().size(), 1u);
    EXPECT_EQ(fake.enumerationCalls, 0x10000u);
}

TEST_F(Finder, AKeyHeldOpenIsNotCounted)
{
    fake.Add("held");
    fake.Add("free");
    CUsbHidKey holder(fake.devices);
    ASSERT_TRUE(holder.Open(fake.interfaces[0].path.c_str()));
    EXPECT_EQ(Scan(), std::vector<std::string>{"free"});
    EXPECT_EQ(count, 1u);
}

TEST_F(Finder, ScanningAgainGivesTheSameList)
{
    fake.Add("key-1");
    fake.Add("key-2");
    CUsbHidKeyFinder finder(fake.devices);
    finder.Scan();
    std::string first = finder.FirstPath();
    finder.Scan();
    EXPECT_EQ(finder.Count(), 2u);
    EXPECT_EQ(first, finder.FirstPath());
    EXPECT_EQ(Name(first), "key-1");
}

TEST_F(Finder, FailingIndicesDoNotEndTheWalk)
{
    fake.Add("key-1");
    fake.Add("key-2");
    fake.failingIndices = {0, 2};
    std::vector<std::string> paths = Paths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(Name(paths[0]), "key-1");
    EXPECT_EQ(Name(paths[1]), "key-2");
}

TEST_F(Finder, NoDeviceSetMeansNoKeys)
{
    fake.Add("key");
    fake.classDevsFails = true;
    std::vector<std::string> paths;
    EXPECT_FALSE(EnumerateHidInterfaces(fake.api.setup, fake.api.hid, paths));
    EXPECT_TRUE(paths.empty());
    Scan();
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(fake.setsDestroyed, 0);
}

TEST(HidApiTable, CompleteOnlyWithEveryEntry)
{
    FakeHid fake;
    EXPECT_TRUE(fake.api.IsComplete());
    HidApi api = fake.api;
    api.hid.module = nullptr;
    EXPECT_FALSE(api.IsComplete());
    api = fake.api;
    api.hid.HidD_GetFeature = nullptr;
    EXPECT_FALSE(api.IsComplete());
    api = fake.api;
    api.setup.module = nullptr;
    EXPECT_FALSE(api.IsComplete());
    api = fake.api;
    api.setup.SetupDiGetDeviceInterfaceDetailA = nullptr;
    EXPECT_FALSE(api.IsComplete());
}
