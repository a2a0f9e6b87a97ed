#include "origins.h"

#include <cctype>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#ifdef _WIN32
#include <windows.h>
#endif

namespace NATIVEHOST {

namespace {

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

OriginPolicy::OriginPolicy(std::vector<std::string> origins) : administered(true)
{
    for (const std::string& origin : origins) {
        std::string canonical = CanonicalOrigin(origin);
        if (!canonical.empty())
            allowed.push_back(canonical);
    }
}

bool OriginPolicy::Allows(const std::string& origin) const
{
    std::string canonical = CanonicalOrigin(origin);
    if (canonical.empty())
        return false;
    if (administered) {
        for (const std::string& entry : allowed) {
            if (entry == canonical)
                return true;
        }
        return false;
    }
    if (canonical.compare(0, 8, "https://") == 0)
        return true;
    for (const char* local : {"http://localhost", "http://127.0.0.1"}) {
        std::string prefix = local;
        if (canonical == prefix || canonical.compare(0, prefix.size() + 1, prefix + ":") == 0)
            return true;
    }
    return false;
}

bool OriginPolicy::ParseList(const std::string& json, std::vector<std::string>& origins)
{
    nlohmann::json list = nlohmann::json::parse(json, nullptr, false);
    if (list.is_discarded() || !list.is_array())
        return false;
    for (const auto& entry : list) {
        if (!entry.is_string())
            return false;
        origins.push_back(entry.get<std::string>());
    }
    return true;
}

OriginPolicy OriginPolicy::FromFile(const std::string& path, std::string& problem)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return OriginPolicy();  // no administrator's list: the default
    std::stringstream text;
    text << file.rdbuf();
    std::vector<std::string> origins;
    if (!ParseList(text.str(), origins)) {
        problem = path + " is not a JSON array of origins: no page may use the key";
        return OriginPolicy(std::vector<std::string>());
    }
    return OriginPolicy(origins);
}

#ifdef _WIN32
OriginPolicy OriginPolicy::Load(std::string& problem)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Tallykey", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return OriginPolicy();
    DWORD type = 0, bytes = 0;
    LONG status = RegQueryValueExW(key, L"Origins", nullptr, &type, nullptr, &bytes);
    if (status == ERROR_FILE_NOT_FOUND) {
        RegCloseKey(key);
        return OriginPolicy();
    }
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
    if (status == ERROR_SUCCESS && type == REG_MULTI_SZ && bytes <= 64 * 1024)
        status = RegQueryValueExW(key, L"Origins", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    else
        status = ERROR_INVALID_DATA;
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        problem = "the Origins policy value is not a readable list: no page may use the key";
        return OriginPolicy(std::vector<std::string>());
    }
    std::vector<std::string> origins;
    for (const wchar_t* entry = data.data(); *entry; entry += wcslen(entry) + 1) {
        int size = WideCharToMultiByte(CP_UTF8, 0, entry, -1, nullptr, 0, nullptr, nullptr);
        std::string text(size > 0 ? size : 0, '\0');
        if (size > 0)
            WideCharToMultiByte(CP_UTF8, 0, entry, -1, &text[0], size, nullptr, nullptr);
        if (!text.empty())
            text.pop_back();  // the terminating zero
        origins.push_back(text);
    }
    return OriginPolicy(origins);
}
#else
OriginPolicy OriginPolicy::Load(std::string& problem) { return FromFile(POLICY_FILE, problem); }
#endif

} // namespace NATIVEHOST
