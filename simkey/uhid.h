// simkey's uhid mode (Linux): the device folder's devices as kernel HID devices.
#pragma once

#include <filesystem>

namespace SIMKEY {

// Mirrors the folder's devices through /dev/uhid until SIGTERM or SIGINT;
// ready (when not empty) is rewritten whenever every device has its node.
int ServeUhid(const std::filesystem::path& dir, const std::filesystem::path& ready);

} // namespace SIMKEY
