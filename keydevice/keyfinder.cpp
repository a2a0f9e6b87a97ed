#include "keyfinder.h"

#include <new>

namespace HIDUSBKEY {

const char16_t KEY_PRODUCT_STRING[] = u"www.bhrbkey.cn";

namespace {

char16_t AsciiLower(char16_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<char16_t>(c - 'A' + 'a') : c; }

} // namespace

bool IsKeyProductString(const std::u16string& productString)
{
    // Letter case is folded for ASCII only: the expected name is ASCII, and a
    // locale's folding (such as the Kelvin sign for 'k') must not let a
    // look-alike through.
    const std::u16string expected = KEY_PRODUCT_STRING;
    if (productString.size() != expected.size())
        return false;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (AsciiLower(productString[i]) != AsciiLower(expected[i]))
            return false;
    }
    return true;
}

CUsbHidKeyFinder::CUsbHidKeyFinder(const DeviceTable& table) : devices(table) {}

CUsbHidKeyFinder::~CUsbHidKeyFinder() = default;

void CUsbHidKeyFinder::Scan()
{
    keys.clear();
    try {
        std::vector<ListedDevice> listed;
        if (!devices.Enumerate(KEY_VENDOR_ID, KEY_PRODUCT_ID, listed))
            return;
        for (ListedDevice& device : listed) {
            if (IsKeyProductString(device.product))
                keys.push_back(std::move(device));
        }
    } catch (const std::bad_alloc&) {
        // A partial list could name the wrong key as the only one: report none.
        keys.clear();
    }
}

unsigned CUsbHidKeyFinder::Count() const { return static_cast<unsigned>(keys.size()); }

ListedDevice* CUsbHidKeyFinder::First() { return keys.empty() ? nullptr : &keys.front(); }

const char* CUsbHidKeyFinder::FirstPath() const { return keys.empty() ? nullptr : keys.front().path.c_str(); }

} // namespace HIDUSBKEY
