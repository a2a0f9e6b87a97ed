// The Linux platform edge: a small transport over hidapi's hidraw flavour,
// bound at run time from "libhidapi-hidraw.so.0". hidapi lists the devices
// with the key's ids without opening anything; each key listed is locked
// (an exclusive flock on its node, held until the call is done, so that one
// process at a time uses it) and opened once.
#pragma once

#include <hidapi/hidapi.h>

#include "devicetable.h"

namespace HIDUSBKEY {

// The library the edge binds; its absence (or a copy lacking an entry point)
// leaves the table incomplete, which scripts see as -1.
extern const char HIDRAW_LIBRARY[];

// hidapi's entry points that the transport uses; tests fill it themselves.
struct HidrawFunctions {
    decltype(&hid_enumerate) enumerate;
    decltype(&hid_free_enumeration) freeEnumeration;
    decltype(&hid_open_path) openPath;
    decltype(&hid_close) close;
    decltype(&hid_send_feature_report) sendFeature;
    decltype(&hid_get_feature_report) getFeature;
};

class HidrawDeviceTable : public DeviceTable {
public:
    // Every entry must be there for the table to be complete.
    explicit HidrawDeviceTable(const HidrawFunctions& functions) : hidraw(functions) {}  // kept by reference
    bool IsComplete() const override;
    bool Enumerate(uint16_t vendorId, uint16_t productId, std::vector<ListedDevice>& devices) const override;
    std::unique_ptr<DeviceChannel> Open(ListedDevice& device) const override;

private:
    const HidrawFunctions& hidraw;
};

} // namespace HIDUSBKEY
