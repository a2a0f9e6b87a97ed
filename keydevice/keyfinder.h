// Finding the attached keys among the present HID interfaces.
#pragma once

#include <string>
#include <vector>

#include "hidapi.h"

namespace HIDUSBKEY {

const USHORT KEY_VENDOR_ID = 0x0111;
const USHORT KEY_PRODUCT_ID = 0x0111;
// The maker's web host name, which every key reports as its product string.
extern const WCHAR KEY_PRODUCT_STRING[];

// True when a HID product string names our key. The device's buffer need not
// be terminated: nothing past maxChars is read.
bool IsKeyProductString(const WCHAR* productString, size_t maxChars);

class CUsbHidKeyFinder {
public:
    CUsbHidKeyFinder(const HidFunctions& hidFunctions, const SetupFunctions& setupFunctions);
    virtual ~CUsbHidKeyFinder();
    CUsbHidKeyFinder(const CUsbHidKeyFinder&) = delete;
    CUsbHidKeyFinder& operator=(const CUsbHidKeyFinder&) = delete;

    void Scan();
    unsigned Count() const;
    const char* FirstPath() const;

private:
    bool IsKey(const char* path) const;

    const HidFunctions& hid;
    const SetupFunctions& setup;
    std::vector<std::string> paths;
};

} // namespace HIDUSBKEY
