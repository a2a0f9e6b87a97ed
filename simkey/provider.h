// Shared pieces of the simulated hid.dll and setupapi.dll.
#pragma once

#include "platform.h"

#ifdef _WIN32
#define SIM_EXPORT extern "C"
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace SIMKEY {

// The HID interface class GUID, {4D1E55B2-F16F-11CF-88CB-001111000030}.
const GUID HID_INTERFACE_GUID = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

} // namespace SIMKEY
