// Web origins as a browser sends them in the Origin header: scheme://host[:port].
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace agent {

// Checks and normalises an origin the way browsers spell it: scheme and host in lower case, the
// scheme's default port left out, no path (a single trailing "/" is tolerated), no user name,
// query or fragment. Only http and https are accepted; hosts are DNS names (ASCII, IDNs in
// their xn-- form), IPv4 addresses or bracketed IPv6 addresses. On failure returns nothing and
// puts the reason into `why` (if given).
std::optional<std::string> NormaliseOrigin(std::string_view text, std::string* why = nullptr);

}  // namespace agent
