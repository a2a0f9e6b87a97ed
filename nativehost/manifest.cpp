#include "manifest.h"

#include <nlohmann/json.hpp>

namespace NATIVEHOST {

const char HOST_NAME[] = TALLYKEY_HOST_NAME;

namespace {

const char DESCRIPTION[] = "Tallykey: the USB key for web pages";

} // namespace

std::string ManifestText(const std::string& hostPath, bool firefox)
{
    nlohmann::json manifest = {{"name", HOST_NAME}, {"description", DESCRIPTION}, {"path", hostPath}, {"type", "stdio"}};
    if (firefox)
        manifest["allowed_extensions"] = {TALLYKEY_FIREFOX_ID};
    else
        manifest["allowed_origins"] = {std::string("chrome-extension://") + TALLYKEY_CHROMIUM_ID + "/"};
    try {
        return manifest.dump(2) + "\n";
    } catch (const nlohmann::json::type_error&) {
        return std::string();  // the path is not UTF-8: no browser could read it
    }
}

} // namespace NATIVEHOST
