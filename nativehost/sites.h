// Which site an origin belongs to, for what must hold across a site's
// origins (the guessing back-off): the scheme and the registrable domain,
// by the public suffix list that browsers use too (Debian's publicsuffix,
// compiled in), so https://site.example, https://www.site.example,
// https://site.example:8443 and https://site.example. are one site. This
// machine's own names (localhost, its subdomains, 127.0.0.1, [::1]) are one
// site whatever the scheme; an IP address is a site of its own.
#pragma once

#include <cstddef>
#include <string>

namespace NATIVEHOST {

// The site of an origin, empty when the text is no origin.
std::string SiteOf(const std::string& origin);

// The registrable domain of a lower-case ASCII host name: its public
// suffix and one label more, or the host itself when it is a public
// suffix.
std::string RegistrableDomain(const std::string& host);

// The rules of the list ("a.b", "*.b", "!a.b"), sorted bytewise.
extern const char* const PUBLIC_SUFFIX_RULES[];
extern const size_t PUBLIC_SUFFIX_RULE_COUNT;

} // namespace NATIVEHOST
