// Which pages may use the key, as the host sees it. The browser reports a
// page's origin; the host decides whether that origin is one the
// administrator listed (no question asked), one the user must allow in
// the extension's consent window first, or one that is refused outright.
//
// Only https origins, and http on localhost and 127.0.0.1 (any port, for
// development), are ever allowed. The administrator's settings:
// - Windows: under HKLM\SOFTWARE\Policies\Tallykey (the 64-bit view, for
//   both architectures), the multi-string value "Origins" and the DWORDs
//   "PromptForOthers" and "RequirePasswordEntry";
// - Linux: /etc/tallykey/allowed-origins.json, a JSON array of origins, or
//   {"origins": [...], "promptForOthers": false, "requirePasswordEntry": true}.
// Listed origins need no consent; unlisted ones ask the user unless
// prompting is turned off, and are then refused. With password entry
// required, every password comes from the extension's own window, never
// from a page, whatever the origin.
#pragma once

#include <string>
#include <vector>

namespace NATIVEHOST {

enum class Access {
    Listed,   // the administrator listed it: no consent needed
    Ask,      // only with the user's Allow in the extension
    Refused,  // never
};

// "listed", "ask" or "refused", as the extension reads it.
const char* AccessName(Access access);

// The administrator's settings as written, before they are checked.
struct PolicySettings {
    std::vector<std::string> origins;
    bool promptForOthers = true;
    bool requirePasswordEntry = false;
};

class OriginPolicy {
public:
    // No administrator's settings: every eligible origin asks the user.
    OriginPolicy() = default;
    explicit OriginPolicy(const PolicySettings& settings);
    OriginPolicy(std::vector<std::string> listed, bool promptForOthers);
    // Settings that exist but cannot be read: nothing may use the key.
    static OriginPolicy Unreadable();

    Access AccessFor(const std::string& origin) const;
    // Whether passwords may come only from the extension's window.
    // Settings that cannot be read require it too.
    bool RequiresPasswordEntry() const { return requirePasswordEntry; }

    // The administrator's settings where there are some. Anything that
    // exists but cannot be read or understood allows nothing, and problem
    // says why (empty when all is well). Only settings that are not there
    // at all mean "no list".
    static OriginPolicy Load(std::string& problem);
    // The Linux form, from a given file (tests use their own).
    static OriginPolicy FromFile(const std::string& path, std::string& problem);
#ifdef _WIN32
    // The Windows form, from a given key under HKLM in the 64-bit view
    // (tests use their own).
    static OriginPolicy FromRegistry(const wchar_t* key, std::string& problem);
#endif
    // The file's text: a JSON array of origin strings, or an object with
    // "origins" (such an array) and the optional booleans "promptForOthers"
    // and "requirePasswordEntry".
    static bool Parse(const std::string& json, PolicySettings& settings);

private:
    bool readable = true;
    bool promptForOthers = true;
    bool requirePasswordEntry = false;
    std::vector<std::string> listed;
};

// An origin in its canonical form (lower-case scheme and host, no default
// port), or empty when the text is no origin: scheme "http" or "https",
// a host, an optional port, and nothing after it.
std::string CanonicalOrigin(const std::string& origin);

} // namespace NATIVEHOST
