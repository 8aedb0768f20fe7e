// `connect`: sign in, fetch the user info (keys and heartbeat), lease
// credentials for one VPN server, confirm the lease with a handshake every
// heartbeat until stopped, then release it and sign out. A stop request
// (Ctrl-C, SIGTERM, RequestStop) at any point still releases what is held.
#pragma once

#include "facade/ProxyHelper.h"
#include "tools/cli/Report.h"
#include "tools/cli/ServiceCalls.h"

namespace proxycli {

// Heartbeat when the service pushed none.
constexpr int kFallbackHeartbeatSeconds = 30;
// The outcome 9999999 keeps the lease on the service's side, which would
// defeat the clean release.
constexpr int kKeepLeaseOutcome = 9999999;

struct ConnectOptions {
  int serverId = 0;
  double intervalSeconds = 0;  // 0: the pushed GC_HEARTBEAT_SLOT
  double durationSeconds = 0;  // 0: until stopped
  int releaseOutcome = 0;      // reported to the service on release
};

// Progress, for status lines and for whoever drives the loop.
class ConnectEvents {
 public:
  virtual ~ConnectEvents() = default;
  virtual void Leased(const DialupInfo& /*lease*/) {}
  // After each handshake: its result and the running totals.
  virtual void Handshake(int /*result*/, int /*succeeded*/, int /*failed*/) {}
  virtual void Released(bool /*ok*/) {}
};

// Runs the whole chain; failures go to `report`. Returns the exit status.
// The caller installs the signal handlers (StopSignalScope) when signals
// should stop it.
int RunConnect(const ConnectOptions& options, const UserIdentity& identity, ServiceCalls& calls,
               Report& report, ConnectEvents* events);

}  // namespace proxycli
