// Run-time binding of the HID class driver and the device-setup service,
// the walk over present HID interfaces, and one opened HID interface.
#pragma once

#include <string>
#include <vector>

#include "devicetable.h"
#include "platform.h"

namespace HIDUSBKEY {

typedef void(WINAPI* HidD_GetHidGuid_t)(GUID* guid);
typedef BOOLEAN(WINAPI* HidD_GetPreparsedData_t)(HANDLE device, PHIDP_PREPARSED_DATA* data);
typedef BOOLEAN(WINAPI* HidD_FreePreparsedData_t)(PHIDP_PREPARSED_DATA data);
typedef BOOLEAN(WINAPI* HidD_GetAttributes_t)(HANDLE device, HIDD_ATTRIBUTES* attributes);
typedef BOOLEAN(WINAPI* HidD_GetProductString_t)(HANDLE device, void* buffer, ULONG bufferBytes);
typedef BOOLEAN(WINAPI* HidD_SetFeature_t)(HANDLE device, void* report, ULONG reportBytes);
typedef BOOLEAN(WINAPI* HidD_GetFeature_t)(HANDLE device, void* report, ULONG reportBytes);

typedef BOOL(WINAPI* SetupDiDestroyDeviceInfoList_t)(HDEVINFO set);
typedef HDEVINFO(WINAPI* SetupDiGetClassDevsA_t)(const GUID* guid, const char* enumerator, HWND parent, DWORD flags);
typedef BOOL(WINAPI* SetupDiEnumDeviceInterfaces_t)(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID* guid,
                                                     DWORD index, SP_DEVICE_INTERFACE_DATA* data);
typedef BOOL(WINAPI* SetupDiGetDeviceInterfaceDetailA_t)(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                          SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailBytes,
                                                          DWORD* requiredBytes, SP_DEVINFO_DATA* info);

// "hid.dll" and the seven entry points bound from it, in binding order.
struct HidFunctions {
    HMODULE module;
    HidD_GetHidGuid_t HidD_GetHidGuid;
    HidD_GetPreparsedData_t HidD_GetPreparsedData;
    HidD_FreePreparsedData_t HidD_FreePreparsedData;
    HidD_GetAttributes_t HidD_GetAttributes;
    HidD_GetProductString_t HidD_GetProductString;
    HidD_SetFeature_t HidD_SetFeature;
    HidD_GetFeature_t HidD_GetFeature;
};

// "SETUPAPI.DLL" and the four entry points bound from it, in binding order.
struct SetupFunctions {
    HMODULE module;
    SetupDiDestroyDeviceInfoList_t SetupDiDestroyDeviceInfoList;
    SetupDiGetClassDevsA_t SetupDiGetClassDevsA;
    SetupDiEnumDeviceInterfaces_t SetupDiEnumDeviceInterfaces;
    SetupDiGetDeviceInterfaceDetailA_t SetupDiGetDeviceInterfaceDetailA;
};

// The table each library binds at run time. Neither system library is
// linked: a missing one leaves null entries and IsComplete() false. Tests
// fill the table with functions of their own.
struct HidApi {
    HidFunctions hid;
    SetupFunctions setup;

    void Bind();
    bool IsComplete() const;
    void Release();
};

// The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}, as
// hid.dll hands it out; services that are not the system's answer with it too.
const GUID HID_INTERFACE_GUID = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// The largest interface detail record the walk accepts; larger ones are skipped.
const DWORD MAX_INTERFACE_DETAIL_BYTES = 64 * 1024;

// Appends the device path of every present HID interface; false only when
// the device-information set cannot be created. Running out of memory
// throws std::bad_alloc, after the set is destroyed.
bool EnumerateHidInterfaces(const SetupFunctions& setup, const HidFunctions& hid, std::vector<std::string>& paths);

// The device-setup service's answer for the interface at index of a set of
// count: its record (which carries index + 1, so that 0 is no interface),
// or ERROR_NO_MORE_ITEMS past the end. For services that are not the
// system's (the Linux edge, the simulated one).
BOOL AnswerInterface(DWORD index, size_t count, SP_DEVICE_INTERFACE_DATA* data);

// The device-setup service's answer to a detail request for one interface
// whose path is known: the size needed, ERROR_INSUFFICIENT_BUFFER when the
// record is missing or short, the path when it fits. For services that are
// not the system's (the Linux edge, the simulated one).
BOOL AnswerInterfaceDetail(const std::string& path, SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailBytes,
                           DWORD* requiredBytes);

// One exclusively opened HID interface and its preparsed data.
class HidDeviceHandle {
public:
    explicit HidDeviceHandle(const HidFunctions& hidFunctions);
    ~HidDeviceHandle();
    HidDeviceHandle(const HidDeviceHandle&) = delete;
    HidDeviceHandle& operator=(const HidDeviceHandle&) = delete;

    bool Open(const char* path);
    void Close();

    HANDLE handle;
    PHIDP_PREPARSED_DATA preparsedData;
    const HidFunctions& hid;
};

// The device table over the HID class driver and the device-setup service
// (bound, or filled by a test): the walk over every present HID interface,
// each opened for its attributes and, where the ids are the wanted ones,
// its product string; a listed device opened exclusively.
class HidDeviceTable : public DeviceTable {
public:
    explicit HidDeviceTable(const HidApi& hidApi) : api(hidApi) {}
    bool IsComplete() const override;
    bool Enumerate(uint16_t vendorId, uint16_t productId, std::vector<ListedDevice>& devices) const override;
    std::unique_ptr<DeviceChannel> Open(ListedDevice& device) const override;

private:
    const HidApi& api;
};

} // namespace HIDUSBKEY
