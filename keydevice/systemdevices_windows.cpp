// The platform's devices where keys are reached through hid.dll and
// setupapi.dll: Windows, and native builds that script those libraries.
#include "hidapi.h"

namespace HIDUSBKEY {

namespace {

// hid.dll and setupapi.dll, bound for the table's lifetime.
class SystemHidDevices : public DeviceTable {
public:
    SystemHidDevices() : api{}, table(api) { api.Bind(); }
    ~SystemHidDevices() override { api.Release(); }
    SystemHidDevices(const SystemHidDevices&) = delete;
    SystemHidDevices& operator=(const SystemHidDevices&) = delete;
    bool IsComplete() const override { return table.IsComplete(); }
    bool Enumerate(uint16_t vendorId, uint16_t productId, std::vector<ListedDevice>& devices) const override
    {
        return table.Enumerate(vendorId, productId, devices);
    }
    std::unique_ptr<DeviceChannel> Open(ListedDevice& device) const override { return table.Open(device); }

private:
    HidApi api;
    HidDeviceTable table;
};

} // namespace

std::unique_ptr<DeviceTable> BindSystemDevices() { return std::make_unique<SystemHidDevices>(); }

} // namespace HIDUSBKEY
