#include "sites.h"

#include <algorithm>
#include <cstring>

#include "origins.h"

namespace NATIVEHOST {

namespace {

bool IsRule(const std::string& rule)
{
    const char* const* end = PUBLIC_SUFFIX_RULES + PUBLIC_SUFFIX_RULE_COUNT;
    const char* const* found = std::lower_bound(PUBLIC_SUFFIX_RULES, end, rule.c_str(),
                                                [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    return found != end && rule == *found;
}

bool IsIpAddress(const std::string& host)
{
    return host.front() == '[' || host.find_first_not_of("0123456789.") == std::string::npos;
}

bool IsThisMachine(const std::string& host)
{
    const std::string local = "localhost";
    return host == local || host == "127.0.0.1" || host == "[::1]" ||
           (host.size() > local.size() && host.compare(host.size() - local.size() - 1, std::string::npos,
                                                       "." + local) == 0);
}

} // namespace

std::string RegistrableDomain(const std::string& host)
{
    // The candidates from the whole name down to its last label; the first
    // (longest) that a rule matches is the public suffix, an exception
    // ("!") naming the suffix one label shorter. No rule: the last label.
    size_t suffix = host.rfind('.') == std::string::npos ? 0 : host.rfind('.') + 1;
    for (size_t at = 0; at < host.size();) {
        const std::string candidate = host.substr(at);
        const size_t dot = candidate.find('.');
        if (IsRule("!" + candidate)) {
            suffix = dot == std::string::npos ? host.size() : at + dot + 1;
            break;
        }
        if (IsRule(candidate) || (dot != std::string::npos && IsRule("*" + candidate.substr(dot)))) {
            suffix = at;
            break;
        }
        if (dot == std::string::npos)
            break;
        at += dot + 1;
    }
    if (suffix == 0)
        return host;  // the host is a public suffix itself
    const size_t previous = host.rfind('.', suffix - 2);
    return host.substr(previous == std::string::npos ? 0 : previous + 1);
}

std::string SiteOf(const std::string& origin)
{
    const std::string canonical = CanonicalOrigin(origin);
    if (canonical.empty())
        return std::string();
    const size_t hostStart = canonical.find("://") + 3;
    std::string host = canonical.substr(hostStart);
    if (host.front() == '[')
        host = host.substr(0, host.find(']') + 1);
    else
        host = host.substr(0, host.find(':'));
    // "site.example." is "site.example" with the root's empty label.
    while (!host.empty() && host.back() == '.')
        host.pop_back();
    if (host.empty())
        return std::string();
    if (IsThisMachine(host))
        return "localhost";
    const std::string scheme = canonical.substr(0, hostStart);
    return scheme + (IsIpAddress(host) ? host : RegistrableDomain(host));
}

} // namespace NATIVEHOST
