// Registration on Linux: the host manifests that tell Chromium, Chrome and
// Firefox where tallykey-host is and which extension may start it. "install"
// writes them for all users (or with --user, for the calling user);
// "uninstall" removes them.
#pragma once

#include <string>
#include <vector>

namespace NATIVEHOST {

struct ManifestPlace {
    std::string folder;
    bool firefox;  // allowed_extensions rather than allowed_origins
};

// Where this platform's browsers look for the host's manifest.
std::vector<ManifestPlace> ManifestPlaces(bool user, const std::string& home);

// "install [--user]" or "uninstall [--user]": the exit code; what was done
// and what failed go to out and err. "manifest chromium|firefox PATH"
// writes a manifest's text for a host at PATH to out.
int Register(const std::vector<std::string>& args, const std::string& hostPath, std::string& out, std::string& err);

} // namespace NATIVEHOST
