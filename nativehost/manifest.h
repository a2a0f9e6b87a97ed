// The host manifest that tells a browser where tallykey-host is and which
// extension may start it: one text for the Chromium family (Chromium,
// Chrome, Edge) and one for Firefox, whoever writes it (the host's own
// registration on Linux, the installer on Windows).
#pragma once

#include <string>

namespace NATIVEHOST {

// The name browsers know the host by.
extern const char HOST_NAME[];

// The manifest's text (UTF-8 JSON) for a browser family; empty when the
// path is not UTF-8, which JSON cannot carry.
std::string ManifestText(const std::string& hostPath, bool firefox);

} // namespace NATIVEHOST
