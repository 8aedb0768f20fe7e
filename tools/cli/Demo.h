// `demo`: starts the reference account service in this process on loopback
// (a dead account server listed first, so failover shows), then runs the
// whole story through the library, checking every step: version, register,
// recharge, sign in, account state and pushed configuration, the catalogue
// from the service and then from the cache, the online ratio, a lease with
// two handshakes, release, sign out. Nothing outside a temporary directory
// is touched. With `tls` the service speaks HTTPS with a certificate issued
// by a CA made for the run, and the client trusts that CA alone.
#pragma once

#include "tools/cli/Console.h"

namespace proxycli {

struct DemoOptions {
  bool showServerLog = false;  // the service's one line per request
  bool json = false;
  bool tls = false;
};

// Prints "ok" or "FAILED" per step and a summary line; returns 0 when every
// step did what it should, 1 otherwise.
int RunDemo(const DemoOptions& options, Console& console);

}  // namespace proxycli
