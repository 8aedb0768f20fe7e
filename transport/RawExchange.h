// One request body, encoded by the caller, posted once to one account
// server: how a conformance tool sees the service's own answer. The attempt
// takes the exchange's path (bounds, platform, reply parse, attempt trace)
// without failover, and moves no shared position.
#pragma once

#include <string>

#include "facade/Records.h"
#include "transport/OperationContext.h"

// `server`: one entry of the account-server list syntax, empty for the
// list's current one; an entry that is not exactly one usable server, or a
// plain one under "GC_HTTPS_ONLY", gets no connection (kSetupFailed, traced).
// `script`: the script's name ("getversion.php").
RawExchangeReply PostRawBody(const OperationContext& context, const std::string& server,
                             const std::string& script, std::string body);
