// The subcommands' side of the session socket: `account`, `servers` and
// `ratio` use the session of a running `connect` for the same servers and
// user instead of signing in (which would end connect's session), `status`
// and `disconnect` exist only to talk to one, and `shell` and `check`, which
// need a session of their own, refuse to start beside one. "The same
// servers" is the same CanonicalServerList, however they are spelled.
#pragma once

#include <string>

#include "facade/ProxyHelper.h"
#include "tools/cli/Console.h"
#include "tools/cli/Report.h"
#include "tools/cli/Settings.h"

namespace proxycli {

// Has the running connect perform `operation` ("account" or "ratio"). True when it did, or when it could not
// be asked properly: `report` then holds the outcome, fields, text and failures alike, as if this process had
// run the operation. False when no connect is running for these servers and this user (or there is no user
// name yet): the caller signs in on its own.
bool ForwardToConnect(const Settings& settings, const std::string& operation, Report& report);

enum class LentCatalogue {
  kNoConnect,  // none running: the caller signs in on its own
  kFetched,
  kFailed,  // reported to `report`
};

// The catalogue fetched with a running connect's session; shown by the
// caller as it shows one it fetched itself. It comes record by record,
// never as one document, within the bounds of a catalogue fetched here.
LentCatalogue CatalogueFromConnect(const Settings& settings, Report& report, ServerCatalogue* catalogue);

// Empty when no connect runs for `user` on these servers; otherwise why
// `command` (which would sign in as `user`, ending connect's session) must
// not run, for a usage error.
std::string RefuseBesideConnect(const Settings& settings, const std::string& user,
                                const std::string& command);

// `status`: the running connect's lease. Without a user, every running
// connect of this (system) user, one after the other (with --json an array
// of their status objects). 0, or 1 when no connect runs.
int RunStatusCommand(const Settings& settings, Console& console);

// `disconnect`: asks the running connect to release its lease, sign out and
// exit, and returns once it confirmed: 0, or the failure's status when the
// release or sign-out failed, or 1 when no connect runs.
int RunDisconnectCommand(const Settings& settings, Console& console);

}  // namespace proxycli
