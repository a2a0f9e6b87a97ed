// Which pages may use the key. By default any https origin, and http on
// localhost and 127.0.0.1 (any port) for development. An administrator's
// list of origins replaces the default: a multi-string value "Origins"
// under HKLM\SOFTWARE\Policies\Tallykey on Windows, the JSON array in
// /etc/tallykey/allowed-origins.json on Linux.
#pragma once

#include <string>
#include <vector>

namespace NATIVEHOST {

class OriginPolicy {
public:
    // The default rules.
    OriginPolicy() = default;
    // Exactly these origins ("scheme://host[:port]", compared ignoring the
    // case of scheme and host).
    explicit OriginPolicy(std::vector<std::string> allowed);

    bool Allows(const std::string& origin) const;

    // The administrator's list when there is one. A list that exists but
    // cannot be read allows nothing: a broken policy must not open the key
    // to every page. problem says why (empty when all is well).
    static OriginPolicy Load(std::string& problem);
    // The Linux form, from a given file (tests use their own).
    static OriginPolicy FromFile(const std::string& path, std::string& problem);
    // The list's own form, for either platform: a JSON array of strings.
    static bool ParseList(const std::string& json, std::vector<std::string>& origins);

private:
    bool administered = false;
    std::vector<std::string> allowed;
};

// An origin in its canonical form (lower-case scheme and host, no default
// port), or empty when the text is no origin: scheme "http" or "https",
// a host, an optional port, and nothing after it.
std::string CanonicalOrigin(const std::string& origin);

} // namespace NATIVEHOST
