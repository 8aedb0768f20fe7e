// One entry of an account-server list: "host[:port]" or "[v6]:port".
#pragma once

#include <string>

#include "hostlib/quillon.h"

namespace quillon_internal {

// Parses one entry (no separators, no surrounding white space). Returns
// false, leaving `server` as it is, for anything that is not a usable
// address. A scheme prefix ("https://") is reserved for a later format and
// rejected for now.
bool ParseServerEntry(const std::string& entry, CLoginServers::Server& server);

// Same host (ASCII case ignored, as host names are) and same port.
bool SameServer(const CLoginServers::Server& a, const CLoginServers::Server& b);

}  // namespace quillon_internal
