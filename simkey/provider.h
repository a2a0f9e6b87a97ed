// Shared pieces of the simulated hid.dll, setupapi.dll and hidapi.
#pragma once

#include "deviceio.h"
#include "hidapi.h"
#include "platform.h"

#ifdef _WIN32
#define SIM_EXPORT extern "C"
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace SIMKEY {

using HIDUSBKEY::HID_INTERFACE_GUID;

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

// One feature report to the key (the host writes a request) or from it
// (the host reads the answer), counted and subject to the device's faults,
// whichever interface carries it.
inline BOOLEAN ExchangeFeature(HANDLE device, bool write, void* report, size_t bytes)
{
    return WithRecord(device, [&](DeviceRecord& record) {
        ++(write ? record.counters.featureWrites : record.counters.featureReads);
        // Our key has one 64-byte feature report without a report id of its own.
        bool keyReport = record.kind == KIND_KEY && report != nullptr && bytes == REPORT_BYTES &&
                         static_cast<const uint8_t*>(report)[0] == 0;
        if ((record.key.faults & (write ? FAULT_WRITE : FAULT_READ)) || !keyReport)
            return false;
        if (write)
            Receive(record.key, static_cast<const uint8_t*>(report));
        else
            Answer(record.key, static_cast<uint8_t*>(report));
        return true;
    });
}

} // namespace SIMKEY
