// `connect`: sign in, fetch the user info (keys and heartbeat) and the
// catalogue entry of the server, lease credentials for it, confirm the lease
// with a handshake every heartbeat until stopped, then release it and sign
// out. A stop (Ctrl-C, SIGTERM, SIGHUP, a closed standard output,
// `disconnect`, RequestStop) at any point still releases what is held and
// signs out. A signal that was ignored when connect started (nohup, a
// background job) stays ignored.
//
// Once a lease was taken, a lost session or lease (a handshake refused with
// one of the relogin codes) makes connect sign in and lease again, and an
// unreachable service is retried with a growing wait (ConnectPolicy.h)
// until --give-up-after. The up hook runs once each lease is confirmed by
// its first handshake, the down hook once that lease ends (Hooks.h).
//
// While it runs, connect owns the account's session: it lends it to the
// other subcommands through the session socket (SessionServer), since a
// sign-in of theirs would end it.
//
// With --json, standard output carries one JSON object per line, each
// flushed as it happens: {"event":"lease",...} at once, {"event":"handshake",
// ...} per handshake, {"event":"release",...}, and last {"event":"end",...}
// with the outcome ("ok", "exit_status", "errors"); recovery adds
// {"event":"lease_lost",...}, {"event":"retry",...} and {"event":"gave_up"},
// the hooks {"event":"hook",...}.
#pragma once

#include <chrono>
#include <set>
#include <string>

#include "facade/ProxyHelper.h"
#include "tools/cli/Console.h"
#include "tools/cli/Settings.h"
#include "wire/Vocabulary.h"

namespace proxycli {

// Heartbeat when the service pushed none.
constexpr int kFallbackHeartbeatSeconds = 30;
// The outcome 9999999 keeps the lease on the service's side, which would
// defeat the clean release.
constexpr int kKeepLeaseOutcome = protocol::kKeepLeaseOutcome;
// The command line's bounds: a handshake at most once a second, and nothing
// longer than 30 days (far from where the clock arithmetic overflows).
constexpr double kMinIntervalSeconds = 1;
constexpr double kMaxConnectSeconds = 30 * 24 * 3600.0;

struct ConnectOptions {
  int serverId = 0;
  double intervalSeconds = 0;  // 0: the pushed GC_HEARTBEAT_SLOT
  double durationSeconds = 0;  // 0: until stopped
  int releaseOutcome = 0;      // reported to the service on release
  // Handshake refusals that mean the session or lease is gone.
  std::set<int> reloginCodes = {3, 8};
  // How long the service may stay unreachable; 0: for ever.
  std::chrono::milliseconds giveUpAfter{0};
  std::string upCommand;    // empty: none
  std::string downCommand;  // empty: none
  std::chrono::milliseconds hookTimeout{30000};
  std::string passwordFile;  // empty: the password from the global settings
};

// CLI11 checks of --interval and --duration: empty when `text` is
// acceptable, else why not.
std::string CheckIntervalOption(const std::string& text);
std::string CheckDurationOption(const std::string& text);

// Progress, for whoever drives the loop in-process.
class ConnectEvents {
 public:
  virtual ~ConnectEvents() = default;
  virtual void Leased(const DialupInfo& /*lease*/) {}
  // After each handshake: its result and the running totals.
  virtual void Handshake(int /*result*/, int /*succeeded*/, int /*failed*/) {}
};

// `connect`: the identity (the password from --password-file, the settings
// or a prompt), then the host, the Ctrl-C/SIGTERM handlers, the session
// socket and the loop; `events` may be null. Exit status: 0 when the lease
// was released and the session signed out after --duration or `disconnect`;
// 128 + the signal's number when a signal stopped it (130 SIGINT, 129
// SIGHUP, 141 SIGPIPE or a write to a closed standard output, 143 SIGTERM)
// and everything was handed back; the up hook's own status when it failed
// (124 when it ran out of time); otherwise the first failure's status: 1
// refused (a refused sign-in during recovery and a failed release
// included), 2 usage (bad times, an unsafe socket directory, another
// connect for the same servers and account), 3 no account server reachable
// (at the start, or for longer than --give-up-after).
int RunConnect(const Settings& settings, Console& console, const ConnectOptions& options,
               ConnectEvents* events = nullptr);

}  // namespace proxycli
