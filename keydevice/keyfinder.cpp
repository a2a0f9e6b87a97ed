#include "keyfinder.h"

#include <new>

namespace HIDUSBKEY {

const WCHAR KEY_PRODUCT_STRING[] = TALLYKEY_WIDE("www.bhrbkey.cn");

namespace {

WCHAR AsciiLower(WCHAR c) { return (c >= 'A' && c <= 'Z') ? static_cast<WCHAR>(c - 'A' + 'a') : c; }

// Bytes a product string may take, and so the buffer we hand the driver.
const ULONG PRODUCT_STRING_BYTES = 256;

} // namespace

bool IsKeyProductString(const WCHAR* productString, size_t maxChars)
{
    // Letter case is folded for ASCII only: the expected name is ASCII, and a
    // locale's folding (such as the Kelvin sign for 'k') must not let a
    // look-alike through.
    for (size_t i = 0; i < maxChars; ++i) {
        if (AsciiLower(productString[i]) != AsciiLower(KEY_PRODUCT_STRING[i]))
            return false;
        if (KEY_PRODUCT_STRING[i] == 0)
            return true;
    }
    return false;
}

CUsbHidKeyFinder::CUsbHidKeyFinder(const HidFunctions& hidFunctions, const SetupFunctions& setupFunctions)
    : hid(hidFunctions), setup(setupFunctions)
{
}

CUsbHidKeyFinder::~CUsbHidKeyFinder() = default;

bool CUsbHidKeyFinder::IsKey(const char* path) const
{
    HidDeviceHandle device(hid);
    if (!device.Open(path))
        return false;

    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    if (!hid.HidD_GetAttributes(device.handle, &attributes) || attributes.VendorID != KEY_VENDOR_ID ||
        attributes.ProductID != KEY_PRODUCT_ID)
        return false;

    WCHAR product[PRODUCT_STRING_BYTES / sizeof(WCHAR)] = {};
    if (!hid.HidD_GetProductString(device.handle, product, PRODUCT_STRING_BYTES))
        return false;
    return IsKeyProductString(product, sizeof product / sizeof product[0]);
}

void CUsbHidKeyFinder::Scan()
{
    paths.clear();
    try {
        std::vector<std::string> interfaces;
        if (!EnumerateHidInterfaces(setup, hid, interfaces))
            return;
        for (const std::string& path : interfaces) {
            if (IsKey(path.c_str()))
                paths.push_back(path);
        }
    } catch (const std::bad_alloc&) {
        // A partial list could name the wrong key as the only one: report none.
        paths.clear();
    }
}

unsigned CUsbHidKeyFinder::Count() const { return static_cast<unsigned>(paths.size()); }

const char* CUsbHidKeyFinder::FirstPath() const { return paths.empty() ? nullptr : paths.front().c_str(); }

} // namespace HIDUSBKEY
