// Shared pieces of the simulated hid.dll, setupapi.dll and hidapi.
#pragma once

#include "deviceio.h"
#include "platform.h"

#ifdef _WIN32
#define SIM_EXPORT extern "C"
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace SIMKEY {

// The HID interface class GUID, {4D1E55B2-F16F-11CF-88CB-001111000030}.
const GUID HID_INTERFACE_GUID = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Loads the device's record, lets the call act on it and stores it again,
// so that the device's state survives the handle and the process.
template <typename Action>
BOOLEAN WithRecord(HANDLE device, Action action)
{
    DeviceRecord record;
    if (!ReadRecord(device, record)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool ok = action(record);
    if (!WriteRecord(device, record)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!ok)
        SetLastError(ERROR_INVALID_PARAMETER);
    return ok ? TRUE : FALSE;
}

inline bool IsKeyReport(const DeviceRecord& record, const void* report, size_t bytes)
{
    // Our key has one 64-byte feature report without a report id of its own.
    return record.kind == KIND_KEY && report != nullptr && bytes == REPORT_BYTES &&
           static_cast<const uint8_t*>(report)[0] == 0;
}

} // namespace SIMKEY
