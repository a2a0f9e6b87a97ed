#include "registration.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "folders.h"
#include "manifest.h"

namespace NATIVEHOST {

std::vector<ManifestPlace> ManifestPlaces(bool user, const std::string& home)
{
    if (user) {
        return {{home + "/.config/chromium/NativeMessagingHosts", false},
                {home + "/.config/google-chrome/NativeMessagingHosts", false},
                {home + "/.mozilla/native-messaging-hosts", true}};
    }
    return {{"/etc/chromium/native-messaging-hosts", false},
            {"/etc/opt/chrome/native-messaging-hosts", false},
            {"/usr/lib/mozilla/native-messaging-hosts", true}};
}

namespace {

// The Debian package's host, and its manifests are links: writing through
// them would change the package's own files.
const char PACKAGE_HOST[] = "/usr/lib/tallykey/tallykey-host";

std::string PackageFileAmong(const std::vector<ManifestPlace>& places)
{
    struct stat info;
    if (lstat(PACKAGE_HOST, &info) == 0)
        return PACKAGE_HOST;
    for (const ManifestPlace& place : places) {
        const std::string file = place.folder + "/" + HOST_NAME + ".json";
        if (lstat(file.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            return file;
    }
    return "";
}

// Every user's browsers will start the program at path: only root may be
// able to change it, or the folders that lead to it. reason says what fails.
bool OnlyRootCanChange(const std::string& path, std::string& reason)
{
    std::string at = path;
    for (;;) {
        struct stat info;
        if (stat(at.c_str(), &info) != 0) {
            reason = at + ": " + std::strerror(errno);
            return false;
        }
        if (info.st_uid != 0) {
            reason = at + " is not owned by root";
            return false;
        }
        if (info.st_mode & (S_IWGRP | S_IWOTH)) {
            reason = at + " may be written by others than root";
            return false;
        }
        if (at == "/")
            return true;
        const size_t slash = at.rfind('/');
        at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
    }
}

} // namespace

int Register(const std::vector<std::string>& args, const std::string& hostPath, std::string& out, std::string& err)
{
    // A package ships the manifests as files of its own, made by this.
    if (!args.empty() && args[0] == "manifest") {
        if (args.size() != 3 || (args[1] != "chromium" && args[1] != "firefox") || args[2].empty() ||
            args[2][0] != '/') {
            err += "usage: tallykey-host manifest chromium|firefox HOST_PATH\n";
            return 2;
        }
        const std::string text = ManifestText(args[2], args[1] == "firefox");
        if (text.empty()) {
            err += "tallykey-host: the path " + args[2] + " is not UTF-8, which a manifest cannot name\n";
            return 1;
        }
        out += text;
        return 0;
    }
    const bool install = !args.empty() && args[0] == "install";
    const bool user = args.size() == 2 && args[1] == "--user";
    if (args.empty() || (args[0] != "install" && args[0] != "uninstall") || args.size() > 2 ||
        (args.size() == 2 && !user)) {
        err += "usage: tallykey-host install|uninstall [--user]\n";
        return 2;
    }
    const char* home = std::getenv("HOME");
    if (user && (home == nullptr || *home != '/')) {
        err += "tallykey-host: --user needs HOME\n";
        return 1;
    }
    if (install && ManifestText(hostPath, false).empty()) {
        err += "tallykey-host: this program's path " + hostPath + " is not UTF-8, which a manifest cannot name\n";
        return 1;
    }
    const std::vector<ManifestPlace> places = ManifestPlaces(user, home ? home : "");
    if (!user) {
        const std::string packaged = PackageFileAmong(places);
        if (!packaged.empty()) {
            err += "tallykey-host: the tallykey-host package installs the host for all users (" + packaged +
                   "); use the package manager, or --user\n";
            return 1;
        }
        std::string reason;
        if (install && !OnlyRootCanChange(hostPath, reason)) {
            err += "tallykey-host: every user's browsers would start " + hostPath + ", but " + reason +
                   "; install it for all users from a copy only root can change, or use --user\n";
            return 1;
        }
    }
    int failures = 0;
    for (const ManifestPlace& place : places) {
        const std::string file = place.folder + "/" + HOST_NAME + ".json";
        if (install) {
            MakeFolders(place.folder, 0755);
            const std::string text = ManifestText(hostPath, place.firefox);
            FILE* f = std::fopen(file.c_str(), "w");
            bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
            if (f && std::fclose(f) != 0)
                written = false;
            if (!written) {
                err += "tallykey-host: cannot write " + file + ": " + std::strerror(errno) + "\n";
                ++failures;
                continue;
            }
            out += "wrote " + file + "\n";
        } else if (unlink(file.c_str()) == 0) {
            out += "removed " + file + "\n";
        } else if (errno != ENOENT) {
            err += "tallykey-host: cannot remove " + file + ": " + std::strerror(errno) + "\n";
            ++failures;
        }
    }
    return failures ? 1 : 0;
}

} // namespace NATIVEHOST
