// The platform edge of the simulated device providers: reading and writing
// a device file through the handle that the product opened, and listing the
// device files. One implementation for Windows, one for POSIX.
#pragma once

#include <string>
#include <vector>

#include "devicerecord.h"
#include "platform.h"

namespace SIMKEY {

bool ReadRecord(HANDLE device, DeviceRecord& record);
bool WriteRecord(HANDLE device, const DeviceRecord& record);

// The device files of the folder named by TALLYKEY_SIMKEY_DIR, sorted by
// name, as paths the product can open. No folder, no devices.
std::vector<std::string> ListDevicePaths();

} // namespace SIMKEY
