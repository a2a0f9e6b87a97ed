#include "origins.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "folders.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace NATIVEHOST {

namespace fs = std::filesystem;

namespace {

const char NOTHING_ALLOWED[] = ": no page may use the key";
// Far more than any list of origins an administrator writes.
const size_t MAX_SETTINGS_BYTES = 64 * 1024;

#ifndef _WIN32
const char POLICY_FILE[] = "/etc/tallykey/allowed-origins.json";
#endif

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsHostCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '[' || c == ']' || c == ':';
}

// The only kinds of origin that may ever use the key, listed or not:
// https, and http on this machine's own names for development.
bool IsEligible(const std::string& canonical)
{
    if (canonical.compare(0, 8, "https://") == 0)
        return true;
    for (const std::string local : {"http://localhost", "http://127.0.0.1"}) {
        if (canonical == local || canonical.compare(0, local.size() + 1, local + ":") == 0)
            return true;
    }
    return false;
}

} // namespace

std::string CanonicalOrigin(const std::string& origin)
{
    size_t separator = origin.find("://");
    if (separator == std::string::npos)
        return std::string();
    std::string scheme = Lower(origin.substr(0, separator));
    if (scheme != "http" && scheme != "https")
        return std::string();
    std::string rest = Lower(origin.substr(separator + 3));
    if (rest.empty() || rest.size() > 300)
        return std::string();
    for (char c : rest) {
        if (!IsHostCharacter(c))
            return std::string();  // a path, a user name, a query: not an origin
    }
    // The port, if any, is digits after the last ':' outside an IPv6 bracket.
    std::string host = rest, port;
    size_t colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']', colon) == std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
            return std::string();
        if (std::stoi(port) > 65535)
            return std::string();
        if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443"))
            port.clear();
    }
    if (host.empty() || (host.find(':') != std::string::npos && host.front() != '['))
        return std::string();
    return scheme + "://" + host + (port.empty() ? "" : ":" + port);
}

const char* AccessName(Access access)
{
    switch (access) {
    case Access::Listed: return "listed";
    case Access::Ask: return "ask";
    case Access::Refused: break;
    }
    return "refused";
}

OriginPolicy::OriginPolicy(std::vector<std::string> origins, bool promptForOthers)
    : OriginPolicy(PolicySettings{std::move(origins), promptForOthers, false})
{
}

OriginPolicy::OriginPolicy(const PolicySettings& settings)
    : promptForOthers(settings.promptForOthers), requirePasswordEntry(settings.requirePasswordEntry)
{
    for (const std::string& origin : settings.origins) {
        std::string canonical = CanonicalOrigin(origin);
        if (!canonical.empty())
            listed.push_back(canonical);
    }
}

OriginPolicy OriginPolicy::Unreadable()
{
    OriginPolicy policy;
    policy.readable = false;
    policy.promptForOthers = false;
    policy.requirePasswordEntry = true;
    return policy;
}

Access OriginPolicy::AccessFor(const std::string& origin) const
{
    const std::string canonical = CanonicalOrigin(origin);
    if (canonical.empty() || !readable || !IsEligible(canonical))
        return Access::Refused;
    for (const std::string& entry : listed) {
        if (entry == canonical)
            return Access::Listed;
    }
    return promptForOthers ? Access::Ask : Access::Refused;
}

bool OriginPolicy::Parse(const std::string& text, PolicySettings& parsed)
{
    parsed = PolicySettings();
    nlohmann::json settings = nlohmann::json::parse(text, nullptr, false);
    if (settings.is_discarded())
        return false;
    const nlohmann::json* list = &settings;
    if (settings.is_object()) {
        const std::pair<const char*, bool*> switches[] = {{"promptForOthers", &parsed.promptForOthers},
                                                          {"requirePasswordEntry", &parsed.requirePasswordEntry}};
        for (const auto& item : settings.items()) {
            bool known = item.key() == "origins";
            for (const auto& setting : switches)
                known = known || item.key() == setting.first;
            if (!known)
                return false;  // a misspelt setting must not pass for an absent one
        }
        if (!settings.contains("origins"))
            return false;
        list = &settings["origins"];
        for (const auto& setting : switches) {
            if (settings.contains(setting.first)) {
                if (!settings[setting.first].is_boolean())
                    return false;
                *setting.second = settings[setting.first].get<bool>();
            }
        }
    }
    if (!list->is_array())
        return false;
    for (const auto& entry : *list) {
        if (!entry.is_string())
            return false;
        parsed.origins.push_back(entry.get<std::string>());
    }
    return true;
}

OriginPolicy OriginPolicy::FromFile(const std::string& path, std::string& problem)
{
    // Only a file that is not there, in a folder that is not there or is a
    // folder, means "no settings". Anything else (a dangling link, a file
    // where the folder belongs, a folder that cannot be searched) may hide
    // an administrator's list, so it allows nothing.
    std::error_code error;
    const fs::path settings = fs::u8path(path);
    const fs::file_status own = fs::symlink_status(settings, error);
    if (own.type() == fs::file_type::not_found && error != std::errc::not_a_directory) {
        const fs::path parent = settings.parent_path();
        std::error_code parentError;
        const fs::file_status above = fs::symlink_status(parent, parentError);
        if (above.type() == fs::file_type::not_found && parentError == std::errc::no_such_file_or_directory)
            return OriginPolicy();  // no administrator's settings: the default
        if (fs::status(parent, parentError).type() == fs::file_type::directory)
            return OriginPolicy();
        problem = parent.u8string() + " is not a folder" + NOTHING_ALLOWED;
        return Unreadable();
    }
    if (own.type() == fs::file_type::not_found) {
        problem = settings.parent_path().u8string() + " is not a folder" + NOTHING_ALLOWED;
        return Unreadable();
    }
    const fs::file_status status = fs::status(settings, error);
    if (error || status.type() != fs::file_type::regular) {
        problem = path + (status.type() == fs::file_type::not_found ? " is a link to nothing"
                          : error ? " cannot be examined (" + error.message() + ")"
                                  : " is not a file") +
                  NOTHING_ALLOWED;
        return Unreadable();
    }
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    if (file)
        text << file.rdbuf();
    if (!file || file.bad() || text.str().size() > MAX_SETTINGS_BYTES) {
        problem = path + " cannot be read" + NOTHING_ALLOWED;
        return Unreadable();
    }
    PolicySettings parsed;
    if (!Parse(text.str(), parsed)) {
        problem = path +
                  " is neither a JSON array of origins nor {\"origins\": [...], \"promptForOthers\": BOOL, "
                  "\"requirePasswordEntry\": BOOL}" +
                  NOTHING_ALLOWED;
        return Unreadable();
    }
    return OriginPolicy(parsed);
}

#ifdef _WIN32
namespace {

// An open registry key, closed however the reading ends.
struct RegistryKey {
    HKEY handle = nullptr;
    ~RegistryKey()
    {
        if (handle)
            RegCloseKey(handle);
    }
};

bool ReadOrigins(HKEY key, std::vector<std::string>& origins, bool& present)
{
    DWORD type = 0, bytes = 0;
    LONG status = RegQueryValueExW(key, L"Origins", nullptr, &type, nullptr, &bytes);
    present = status != ERROR_FILE_NOT_FOUND;
    if (!present)
        return true;
    if (status != ERROR_SUCCESS || type != REG_MULTI_SZ || bytes > MAX_SETTINGS_BYTES)
        return false;
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');  // room for missing terminators
    if (RegQueryValueExW(key, L"Origins", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) !=
            ERROR_SUCCESS || type != REG_MULTI_SZ)
        return false;
    for (const wchar_t* entry = data.data(); *entry; entry += wcslen(entry) + 1)
        origins.push_back(Utf8FromWide(entry));
    return true;
}

// A DWORD switch: absent leaves `on` as it is.
bool ReadSwitch(HKEY key, const wchar_t* name, bool& on)
{
    DWORD type = 0, value = 0, bytes = sizeof value;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS || type != REG_DWORD || bytes != sizeof value)
        return false;
    on = value != 0;
    return true;
}

} // namespace

OriginPolicy OriginPolicy::Load(std::string& problem)
{
    return FromRegistry(L"SOFTWARE\\Policies\\Tallykey", problem);
}

OriginPolicy OriginPolicy::FromRegistry(const wchar_t* path, std::string& problem)
{
    // The 64-bit view for both architectures: one policy for the machine.
    // Only a key that is not there means no settings; one that is there but
    // cannot be opened for reading (its permissions, say) allows nothing.
    RegistryKey key;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key.handle);
    if (status == ERROR_FILE_NOT_FOUND)
        return OriginPolicy();
    if (status != ERROR_SUCCESS) {
        problem = "the key HKLM\\" + Utf8FromWide(path) + " cannot be opened (error " + std::to_string(status) +
                  ")" + NOTHING_ALLOWED;
        return Unreadable();
    }
    PolicySettings settings;
    bool present = false;
    if (!ReadOrigins(key.handle, settings.origins, present)) {
        problem = std::string("the policy value Origins is not a readable multi-string") + NOTHING_ALLOWED;
        return Unreadable();
    }
    for (const auto& setting : {std::make_pair(L"PromptForOthers", &settings.promptForOthers),
                                std::make_pair(L"RequirePasswordEntry", &settings.requirePasswordEntry)}) {
        if (!ReadSwitch(key.handle, setting.first, *setting.second)) {
            problem = "the policy value " + Utf8FromWide(setting.first) + " is not a DWORD" + NOTHING_ALLOWED;
            return Unreadable();
        }
    }
    return OriginPolicy(settings);
}
#else
OriginPolicy OriginPolicy::Load(std::string& problem) { return FromFile(POLICY_FILE, problem); }
#endif

} // namespace NATIVEHOST
