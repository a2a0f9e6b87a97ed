// The seam between the key logic and a platform's devices: list the HID
// devices with given ids, open one, exchange feature reports with it, close
// it. Each platform fills it in its own terms (hid.dll and setupapi on
// Windows, hidapi on Linux); tests and fuzzers swap it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace HIDUSBKEY {

// One opened device, closed when destroyed. Reports are 65 bytes: the report
// id (0, none), then the device's 64.
class DeviceChannel {
public:
    virtual ~DeviceChannel() = default;
    virtual bool SetFeature(void* report, size_t bytes) = 0;
    // A short answer is padded with zeros: no byte of the request remains.
    virtual bool GetFeature(void* report, size_t bytes) = 0;
};

// A device the platform listed: where it is, its product string, and what
// the platform holds on it until it is opened or dropped (on Linux, the
// lock that makes it this process's alone).
struct ListedDevice {
    std::string path;
    std::u16string product;
    std::shared_ptr<void> hold;
};

class DeviceTable {
public:
    virtual ~DeviceTable() = default;
    // Every entry point the platform offers is there.
    virtual bool IsComplete() const = 0;
    // Appends the present devices with these ids, each once; false when the
    // platform cannot list devices at all. Running out of memory throws
    // std::bad_alloc, with nothing held.
    virtual bool Enumerate(uint16_t vendorId, uint16_t productId, std::vector<ListedDevice>& devices) const = 0;
    // Opens a listed device (taking over its hold), or null.
    virtual std::unique_ptr<DeviceChannel> Open(ListedDevice& device) const = 0;
};

// The platform's own devices, bound at run time for as long as this lives.
std::unique_ptr<DeviceTable> BindSystemDevices();

} // namespace HIDUSBKEY
