// Finding the attached keys among the devices the platform lists.
#pragma once

#include <string>
#include <vector>

#include "devicetable.h"

namespace HIDUSBKEY {

const uint16_t KEY_VENDOR_ID = 0x0111;
const uint16_t KEY_PRODUCT_ID = 0x0111;
// The maker's web host name, which every key reports as its product string.
extern const char16_t KEY_PRODUCT_STRING[];

// True when a HID product string names our key.
bool IsKeyProductString(const std::u16string& productString);

class CUsbHidKeyFinder {
public:
    explicit CUsbHidKeyFinder(const DeviceTable& table);
    virtual ~CUsbHidKeyFinder();
    CUsbHidKeyFinder(const CUsbHidKeyFinder&) = delete;
    CUsbHidKeyFinder& operator=(const CUsbHidKeyFinder&) = delete;

    // Lists the keys anew; what an earlier scan held is let go.
    void Scan();
    unsigned Count() const;
    // The first key found, or null.
    ListedDevice* First();
    const char* FirstPath() const;

private:
    const DeviceTable& devices;
    std::vector<ListedDevice> keys;
};

} // namespace HIDUSBKEY
