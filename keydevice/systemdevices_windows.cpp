// The platform's devices where keys are reached through hid.dll and
// setupapi.dll: Windows, and native builds that script those libraries.
#include "hidapi.h"

namespace HIDUSBKEY {

namespace {

// hid.dll and setupapi.dll, bound before the table that uses them and
// released after it.
struct BoundHidApi {
    BoundHidApi() : bound{} { bound.Bind(); }
    ~BoundHidApi() { bound.Release(); }
    BoundHidApi(const BoundHidApi&) = delete;
    BoundHidApi& operator=(const BoundHidApi&) = delete;

    HidApi bound;
};

class SystemHidDevices : private BoundHidApi, public HidDeviceTable {
public:
    SystemHidDevices() : HidDeviceTable(bound) {}
};

} // namespace

std::unique_ptr<DeviceTable> BindSystemDevices() { return std::make_unique<SystemHidDevices>(); }

} // namespace HIDUSBKEY
