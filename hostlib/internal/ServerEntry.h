// One entry of an account-server list: "[scheme://]host[:port]", the host
// possibly a bracketed IPv6 literal ("[v6]:port").
#pragma once

#include <string>

#include "hostlib/quillon.h"

namespace quillon_internal {

// Parses one entry (no separators, no surrounding white space). Returns
// false, leaving `server` as it is, for anything that is not a usable
// address. The scheme is "http" or "https" in any case (none: "http"); the
// port defaults to the scheme's. An entry with a scheme may end in one "/";
// any other path, and any other scheme, is refused.
bool ParseServerEntry(const std::string& entry, CLoginServers::Server& server);

// Same host (ASCII case ignored, as host names are), same port and same
// scheme.
bool SameServer(const CLoginServers::Server& a, const CLoginServers::Server& b);

// Same host and port, whatever the scheme.
bool SameAddress(const CLoginServers::Server& a, const CLoginServers::Server& b);

// The host in lower case and the port: one key per address.
std::string AddressKey(const CLoginServers::Server& server);

}  // namespace quillon_internal
