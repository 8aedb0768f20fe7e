#include "tools/cli/ConnectLoop.h"

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"
#include "tools/cli/ConnectPolicy.h"
#include "tools/cli/Hooks.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/Identity.h"
#include "tools/cli/PasswordFile.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/SessionServer.h"
#include "tools/cli/SessionSocket.h"
#include "tools/cli/StopSignal.h"
#include "tools/cli/SystemdNotify.h"

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Finite, from `least` (above it when not `leastIncluded`) to 30 days: far
// from where the clock arithmetic overflows.
bool SecondsWithin(double seconds, double least, bool leastIncluded) {
  return std::isfinite(seconds) && (leastIncluded ? seconds >= least : seconds > least) &&
         seconds <= kMaxConnectSeconds;
}

// The command line's check of a number of seconds; `range` ends in its
// lower bound's wording.
std::string CheckSecondsOption(const std::string& text, double least, bool leastIncluded,
                               const std::string& range) {
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (end != text.c_str() && *end == '\0' && SecondsWithin(seconds, least, leastIncluded))
    return std::string();
  return "\"" + text + "\" is not a number of seconds " + range + " 2592000 (30 days)";
}

// Where the loop's progress goes: text with a live status line, or one JSON
// object per line. A write that fails means the reader went away, which
// stops the loop like the SIGPIPE it stands for.
class Output {
 public:
  Output(Console& console, bool json) : console_(console), json_(json) {}
  ~Output() { EndStatus(); }

  // `text` in text mode, `event` in JSON mode.
  void Say(const std::string& text, const nlohmann::json& event) {
    console_.out << (json_ ? DumpJson(event, -1) + "\n" : text) << std::flush;
    Check();
  }
  // `text` redrawn in place on a terminal, one line per change elsewhere;
  // `event` in JSON mode.
  void Status(const std::string& text, const nlohmann::json& event) {
    if (json_) {
      Say(text, event);
    } else if (console_.outputIsTerminal) {
      console_.out << "\r\033[K" << text << std::flush;
      statusOpen_ = true;
    } else {
      console_.out << text << "\n" << std::flush;
    }
    Check();
  }
  void EndStatus() {
    if (statusOpen_) console_.out << "\n" << std::flush;
    statusOpen_ = false;
  }

 private:
  void Check() {
    if (!console_.out) RequestStopBySignal(SIGPIPE);
  }

  Console& console_;
  bool json_;
  bool statusOpen_ = false;
};

std::string StopReason(const SessionServer* server) {
  if (server != nullptr && server->disconnectRequested()) return "disconnect requested";
  if (const int signalNumber = StopSignalNumber())
    return std::string("stopped by ") + SignalName(signalNumber);
  return "stopped";
}

// The catalogue entry of the leased server ("<id>=<name>,<address>,<level>,
// <location>"), for the lease event and the hooks.
struct ServerEntry {
  bool known = false;
  std::string name;
  std::string address;
  std::string location;
};

ServerEntry FindServer(const ServerCatalogue& catalogue, int serverId) {
  const std::string id = std::to_string(serverId);
  for (const auto& group : catalogue) {
    for (const ServerInfo& server : group.second) {
      if (server.GetKey() == id) return {true, server.GetField(0), server.GetField(1), server.GetField(3)};
    }
  }
  return {};
}

// Calls made while recovering: their failures are shown as they happen but
// decide the command's outcome only when recovery ends with them.
struct ScratchCalls {
  ScratchCalls(Console& console, const HostPaths& paths)
      : report(console, "connect", false), calls(report, paths) {}
  Report report;
  ServiceCalls calls;
};

// A failed step: what the service or the transport said.
struct StepFailure {
  std::string operation;
  int result = 0;
  std::string errdesc;
};

StepFailure LastFailure(Report& report) {
  // Looked up, not indexed: indexing would add "errors" to the document.
  const nlohmann::json& data = report.data();
  const auto errors = data.find("errors");
  if (errors == data.end() || !errors->is_array() || errors->empty()) return {};
  const nlohmann::json& last = errors->back();
  return {last.value("operation", ""), last.value("result", 0), last.value("errdesc", "")};
}

std::string DescribeFailure(const StepFailure& failure) {
  return failure.operation + " " + ResultText(failure.result, Printable(failure.errdesc));
}

// What a waiting `disconnect` is told once everything is handed back.
nlohmann::json DisconnectAnswer(Report& report, int serverId) {
  const nlohmann::json& data = report.data();
  const bool leased = data.value("leased", false);
  const bool released = data.value("released", false);
  const bool signedOut = data.value("signed_out", false);
  std::string text = "connect ";
  text += !leased    ? "held no lease"
          : released ? "released server " + std::to_string(serverId)
                     : "could not release its lease";
  text += signedOut ? " and signed out\n" : ", and signing out failed\n";
  nlohmann::json answerData = {{"server_id", serverId}, {"released", released}, {"signed_out", signedOut}};
  if (data.contains("errors")) answerData["errors"] = data["errors"];
  return {{"exit_status", report.exitStatus()}, {"data", answerData}, {"text", BytesAsJsonText(text)}};
}

// The command: its set-up, the chain with recovery, and its end. Failures go
// to `report` (never in JSON mode itself: the JSON lines are written here),
// progress to the output, `events` and the session socket's server.
class Connection {
 public:
  Connection(const Settings& settings, Console& console, const ConnectOptions& options, ConnectEvents& events,
             Report& report, const UserIdentity& identity)
      : settings_(settings),
        console_(console),
        options_(options),
        events_(events),
        report_(report),
        identity_(identity),
        output_(console, settings.json) {}

  // Sets up the host, the signal handlers and the session socket, runs the
  // chain and returns Finish().
  int Run() {
    std::string error;
    // Whether the times can drive the clock arithmetic at all; the command
    // line's own checks are stricter.
    if (!SecondsWithin(options_.intervalSeconds, 0, true) ||
        !SecondsWithin(options_.durationSeconds, 0, true)) {
      report_.UsageError("the interval and the duration must be finite numbers of seconds from 0 to 2592000");
      return Finish();
    }
    if (!PrepareHost(settings_, &paths_, &error)) {
      report_.UsageError(error);
      return Finish();
    }
    // A stop left over from an earlier command of this process does not count.
    ClearStopRequest();
    StopSignalScope signals;

    std::unique_ptr<SessionServer> server;
    const SessionSocketPlace place =
        LocateSessionSocket(settings_.servers, identity_.username, /*create=*/true);
    switch (place.kind) {
      case SessionSocketPlace::Kind::kUnsafe:
        report_.UsageError("refusing to run without a private session socket: " + place.problem);
        return Finish();
      case SessionSocketPlace::Kind::kUnavailable:
        report_.Warning("no session socket (" + place.problem +
                        "): other subcommands cannot use this session, " + "and a sign-in of theirs ends it");
        break;
      case SessionSocketPlace::Kind::kUsable:
        server.reset(new SessionServer(identity_.username, paths_, options_.serverId));
        switch (server->Open(place, &error)) {
          case SessionListener::Status::kListening:
            break;
          case SessionListener::Status::kBusy:
            report_.UsageError(
                "a connect for " + identity_.username + " on " + settings_.servers +
                " is already running ('proxyhelper status' shows it, 'proxyhelper disconnect' ends it)");
            return Finish();
          case SessionListener::Status::kFailed:
            report_.UsageError("session socket: " + error);
            return Finish();
        }
        server->Start();
        server_ = server.get();
        break;
    }

    Chain();
    const int signal = StopSignalNumber();
    if (signal != 0) report_.data()["signal"] = SignalName(signal);
    if (server != nullptr) server->Finish(DisconnectAnswer(report_, options_.serverId));
    return Finish(signal);
  }

  // Writes the closing line (JSON mode) and returns the exit status.
  int Finish(int signal = 0) {
    int status = hookStatus_ != 0 ? hookStatus_ : report_.exitStatus();
    if (status == 0 && signal != 0) status = 128 + signal;
    if (settings_.json) {
      nlohmann::json end = report_.data();
      end["event"] = "end";
      end["ok"] = status == 0;
      end["exit_status"] = status;
      if (!end.contains("errors")) end["errors"] = nlohmann::json::array();
      console_.out << DumpJson(end, -1) << "\n";
    }
    report_.Finish();
    return status;
  }

 private:
  // How a step, or the handshakes of a lease, ended.
  enum class Step { kOk, kRefused, kUnreachable, kLost, kStopped, kGaveUp };

  // The chain itself: lease, beat, recover, release, sign out.
  void Chain() {
    nlohmann::json& data = report_.data();
    data["server_id"] = options_.serverId;
    ServiceCalls calls(report_, paths_);
    StepFailure failure;
    // Until a lease was taken the user is there to hear about trouble: the
    // first failure ends the command.
    Step step = Establish(calls, report_, &failure);
    if (step == Step::kStopped) stopReason_ = StopReason(server_);
    while (step == Step::kOk) {
      const Step end = Beat(calls, &failure);
      if (end == Step::kGaveUp) ReportGiveUp(failure);
      if (end == Step::kStopped && stopReason_.empty()) stopReason_ = StopReason(server_);
      if (end != Step::kLost) {
        EndLease(calls, /*abandoned=*/end == Step::kGaveUp, stopReason_);
        break;
      }
      output_.Say("lease lost (" + DescribeFailure(failure) + "): signing in again\n",
                  {{"event", "lease_lost"},
                   {"result", failure.result},
                   {"result_hex", ResultHex(failure.result)},
                   {"result_name", ResultName(failure.result)},
                   {"errdesc", failure.errdesc}});
      EndLease(calls, /*abandoned=*/true, "lease lost");
      step = Recover(failure) ? Step::kOk : Step::kRefused;
    }
    data["handshakes_ok"] = succeeded_;
    data["handshakes_failed"] = failed_;
    data["leased"] = leases_ > 0;
    data["released"] = released_;
    if (leases_ > 1) data["leases"] = leases_;
    if (!stopReason_.empty()) data["stop_reason"] = stopReason_;
    if (server_ != nullptr) server_->Ending();
    NotifySystemd("STOPPING=1");
    // Signing out ends the session on every path once it was opened.
    data["signed_out"] = signedIn_ ? calls.SignOut() : false;
  }

  // How a call through `calls` (reporting to `report`) went.
  Step Judge(bool ok, Report& report, StepFailure* failure) {
    if (ok) {
      unreachableSince_ = Clock::time_point();
      return Step::kOk;
    }
    *failure = LastFailure(report);
    if (StopRequested()) return Step::kStopped;
    if (failure->result == RESULT_TRANSPORT_FAILURE) {
      Unreachable();
      return Step::kUnreachable;
    }
    if (leases_ > 0 && options_.reloginCodes.count(failure->result) != 0) return Step::kLost;
    return Step::kRefused;
  }

  // Signs in when needed, fetches the keys and (once) the catalogue entry,
  // and leases.
  Step Establish(ServiceCalls& calls, Report& report, StepFailure* failure) {
    if (StopRequested()) return Step::kStopped;
    if (!signedIn_) {
      const bool ok = calls.SignIn(identity_);
      if (report.exitStatus() == kExitUsage) return Step::kRefused;
      const Step step = Judge(ok, report, failure);
      if (step != Step::kOk) return step;
      signedIn_ = true;
    }
    if (StopRequested()) return Step::kStopped;
    UserInfo info;
    Step step = Judge(calls.GetUserInfo(info), report, failure);
    if (step != Step::kOk) return step;
    if (!calls.replacedServerList().empty()) {
      report_.data()["server_list_replaced"] = calls.replacedServerList();
      if (server_ != nullptr) server_->ServerListReplaced(calls.replacedServerList());
    }
    interval_ = options_.intervalSeconds > 0
                    ? options_.intervalSeconds
                    : GlobalCache::Instance().GetConfigInt(proxyhelper::config::kHeartbeatSlot,
                                                           kFallbackHeartbeatSeconds);
    report_.data()["interval_seconds"] = interval_;
    if (!haveEntry_ && !StopRequested()) {
      // Only for the server's address and name: a catalogue that cannot be
      // had costs the hooks those, not the lease.
      ScratchCalls lookup(console_, paths_);
      ServerCatalogue catalogue;
      if (lookup.calls.GetVpnServers(catalogue)) {
        haveEntry_ = true;
        entry_ = FindServer(catalogue, options_.serverId);
        if (!entry_.known) {
          report_.Warning("server " + std::to_string(options_.serverId) +
                          " is not in the catalogue: its address is unknown");
        }
      }
    }
    if (StopRequested()) return Step::kStopped;
    DialupInfo lease;
    step = Judge(calls.GetDailupInfo(options_.serverId, lease), report, failure);
    if (step != Step::kOk) return step;
    lease_ = lease;
    confirmed_ = false;
    released_ = false;
    ++leases_;
    nlohmann::json event = {{"event", "lease"},
                            {"server_id", options_.serverId},
                            {"lendusername", lease.lendusername},
                            {"lendpassword", lease.lendpassword},
                            {"interval_seconds", interval_}};
    if (entry_.known) {
      event["server_name"] = entry_.name;
      event["server_address"] = entry_.address;
      event["server_location"] = entry_.location;
    }
    if (leases_ > 1) event["lease_number"] = leases_;
    output_.Say(
        std::string(leases_ > 1 ? "leased again " : "leased ") + "server " +
            std::to_string(options_.serverId) +
            (entry_.known ? " (" + Printable(entry_.name) + ", " + Printable(entry_.address) + ")" : "") +
            ": user " + Printable(lease.lendusername) + " password " + Printable(lease.lendpassword) + "\n",
        event);
    if (server_ != nullptr) server_->Leased(lease, interval_);
    events_.Leased(lease);
    return Step::kOk;
  }

  // Handshakes until the lease ends (kStopped, kLost, kRefused, kGaveUp);
  // `failure` says why when it was lost.
  Step Beat(ServiceCalls& calls, StepFailure* failure) {
    const LiveInfo live{lease_.lendusername, options_.serverId};
    const Clock::time_point start = Clock::now();
    const bool limited = options_.durationSeconds > 0;
    const Clock::time_point end = start + Seconds(limited ? options_.durationSeconds : 0);
    for (int beat = 0; !StopRequested(); ++beat) {
      VPErrorInfo error;
      const int result = calls.ShakeHands(live, error);
      result == 0 ? ++succeeded_ : ++failed_;
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      nlohmann::json event = {{"event", "handshake"},
                              {"result", result},
                              {"result_hex", ResultHex(result)},
                              {"result_name", ResultName(result)},
                              {"handshakes_ok", succeeded_},
                              {"handshakes_failed", failed_},
                              {"elapsed_seconds", std::round(elapsed * 1000) / 1000}};
      if (result != 0) event["errdesc"] = error.errdesc;
      std::ostringstream line;
      line << "[" << static_cast<long>(elapsed) << "s] server " << options_.serverId << " as "
           << Printable(lease_.lendusername) << ": " << succeeded_ << " handshake"
           << (succeeded_ == 1 ? "" : "s") << " ok";
      if (failed_ > 0) line << ", " << failed_ << " failed";
      if (result != 0) line << " (last: " << ResultHex(result) << " " << ResultName(result) << ")";
      output_.Status(line.str(), event);
      if (server_ != nullptr) server_->Handshake(result, error.errdesc, succeeded_, failed_);
      events_.Handshake(result, succeeded_, failed_);
      *failure = {"ShakeHands", result, error.errdesc};
      if (result == 0) {
        unreachableSince_ = Clock::time_point();
        if (!confirmed_) {
          if (!options_.upCommand.empty()) {
            const HookOutcome up = RunLeaseHook("up", options_.upCommand, std::string());
            if (up.abandoned) break;
            if (!up.ok()) {
              hookStatus_ = up.started ? up.status : 127;
              report_.Failure(
                  "up hook", hookStatus_, "hook failed",
                  up.started ? (up.timedOut ? "ran out of time" : "exit status " + std::to_string(up.status))
                             : up.error);
              stopReason_ = "up hook failed";
              return Step::kRefused;
            }
          }
          confirmed_ = true;
          NotifySystemd(std::string(readySent_ ? "" : "READY=1\n") + "STATUS=leased server " +
                        std::to_string(options_.serverId) + " as " + lease_.lendusername);
          readySent_ = true;
        }
      } else if (result == RESULT_TRANSPORT_FAILURE) {
        // The service may come back and still honour the lease: keep beating.
        Unreachable();
        if (GaveUp()) return Step::kGaveUp;
      } else if (options_.reloginCodes.count(result) != 0) {
        output_.EndStatus();
        return Step::kLost;
      } else {
        // The service no longer honours the lease, for a reason recovery
        // would not mend.
        output_.EndStatus();
        report_.Failure("ShakeHands", result, error.errdesc);
        stopReason_ = "handshake refused";
        return Step::kRefused;
      }
      Clock::time_point next = start + Seconds(interval_ * (beat + 1));
      if (limited && next > end) next = end;
      if (WaitForStop(next)) break;
      if (limited && Clock::now() >= end) {
        stopReason_ = "duration reached";
        break;
      }
    }
    return Step::kStopped;
  }

  // Hands the lease back (once, and quietly when it was `abandoned`), then
  // the down hook.
  void EndLease(ServiceCalls& calls, bool abandoned, const std::string& reason) {
    output_.EndStatus();
    bool released = false;
    if (abandoned) {
      // The service has forgotten it, or is away: one try, and recovery goes on.
      released = ScratchCalls(console_, paths_).calls.ReleaseDialupInfo(options_.releaseOutcome);
    } else {
      if (server_ != nullptr) server_->Ending();
      // Released even after a refused handshake: the service then drops
      // whatever it still holds.
      released = calls.ReleaseDialupInfo(options_.releaseOutcome);
    }
    released_ = released;
    output_.Say(std::string(released ? "released" : "release failed") + " (" + reason + ", " +
                    std::to_string(succeeded_) + " handshakes ok, " + std::to_string(failed_) + " failed)\n",
                {{"event", "release"},
                 {"released", released},
                 {"stop_reason", reason},
                 {"handshakes_ok", succeeded_},
                 {"handshakes_failed", failed_}});
    if (confirmed_ && !options_.downCommand.empty()) RunLeaseHook("down", options_.downCommand, reason);
    confirmed_ = false;
  }

  // Signs in and leases again after `failure`; false when recovery ended
  // (a refusal, giving up, a stop), which is then reported.
  bool Recover(StepFailure failure) {
    if (server_ != nullptr) server_->Recovering(DescribeFailure(failure));
    NotifySystemd("STATUS=recovering: " + DescribeFailure(failure));
    backoff_.Reset();
    // The first attempt after a lost lease goes at once.
    for (int attempt = 1; !StopRequested(); ++attempt) {
      if (attempt > 1) {
        if (GaveUp()) {
          ReportGiveUp(failure);
          return false;
        }
        const std::chrono::milliseconds pause = backoff_.Next();
        const double seconds = pause.count() / 1000.0;
        std::ostringstream line;
        line.precision(3);
        line << "recovering: " << DescribeFailure(failure) << "; retrying in " << seconds << " s\n";
        output_.Say(line.str(), {{"event", "retry"},
                                 {"operation", failure.operation},
                                 {"result", failure.result},
                                 {"result_hex", ResultHex(failure.result)},
                                 {"errdesc", failure.errdesc},
                                 {"attempt", attempt},
                                 {"retry_in_seconds", seconds}});
        if (WaitForStop(Clock::now() + pause)) break;
      }
      // A session the service may still hold is ended first; once, and its
      // failure does not matter.
      if (signedIn_) {
        ScratchCalls(console_, paths_).calls.SignOut();
        signedIn_ = false;
      }
      ScratchCalls scratch(console_, paths_);
      const Step step = Establish(scratch.calls, scratch.report, &failure);
      if (step == Step::kOk) {
        for (const auto& warning : scratch.report.data().value("warnings", nlohmann::json::array()))
          report_.data()["warnings"].push_back(warning);
        return true;
      }
      if (step == Step::kRefused) {
        report_.Adopt(scratch.report);
        stopReason_ = "refused while recovering";
        return false;
      }
      if (step == Step::kStopped) break;
    }
    stopReason_ = StopReason(server_);
    return false;
  }

  bool GaveUp() const {
    return options_.giveUpAfter.count() > 0 && unreachableSince_ != Clock::time_point() &&
           Clock::now() - unreachableSince_ >= options_.giveUpAfter;
  }
  void Unreachable() {
    if (unreachableSince_ == Clock::time_point()) unreachableSince_ = Clock::now();
  }

  void ReportGiveUp(const StepFailure& failure) {
    const double seconds = std::chrono::duration<double>(options_.giveUpAfter).count();
    output_.Say(std::string(),
                {{"event", "gave_up"}, {"after_seconds", seconds}, {"operation", failure.operation}});
    report_.Failure(failure.operation, RESULT_TRANSPORT_FAILURE,
                    "no account server answered for " + std::to_string(static_cast<long long>(seconds)) +
                        " s (--give-up-after); last: " + failure.errdesc);
    stopReason_ = "gave up";
  }

  // The hook for `label`, with the lease in its environment.
  HookOutcome RunLeaseHook(const std::string& label, const std::string& command, const std::string& reason) {
    HookRun run;
    run.label = label;
    run.command = command;
    run.timeout = options_.hookTimeout;
    run.environment = {"PROXYHELPER_HOOK=" + label,
                       "PROXYHELPER_ACCOUNT=" + identity_.username,
                       "PROXYHELPER_SERVER_ID=" + std::to_string(options_.serverId),
                       "PROXYHELPER_SERVER_NAME=" + entry_.name,
                       "PROXYHELPER_SERVER_ADDRESS=" + entry_.address,
                       "PROXYHELPER_SERVER_LOCATION=" + entry_.location,
                       "PROXYHELPER_LEND_USER=" + lease_.lendusername};
    if (!reason.empty()) run.environment.push_back("PROXYHELPER_REASON=" + reason);
    run.input = lease_.lendpassword + "\n";
    // The up hook gives way to a stop; the down hook is let finish, within
    // its time.
    if (label == "up") run.abandon = [] { return StopRequested(); };
    output_.EndStatus();
    const HookOutcome outcome = RunHook(run, console_.err);
    nlohmann::json event = {{"event", "hook"}, {"hook", label}, {"status", outcome.status}};
    if (outcome.timedOut) event["timed_out"] = true;
    if (!outcome.started) event["error"] = outcome.error;
    output_.Say(outcome.ok() || outcome.abandoned
                    ? std::string()
                    : "the " + label + " hook " +
                          (outcome.started
                               ? (outcome.timedOut ? "ran out of time"
                                                   : "failed with status " + std::to_string(outcome.status))
                               : "could not start: " + outcome.error) +
                          "\n",
                event);
    return outcome;
  }

  const Settings& settings_;
  Console& console_;
  const ConnectOptions& options_;
  ConnectEvents& events_;
  Report& report_;
  const UserIdentity& identity_;
  Output output_;
  HostPaths paths_;
  SessionServer* server_ = nullptr;  // null without a session socket

  bool signedIn_ = false;
  bool haveEntry_ = false;
  ServerEntry entry_;
  double interval_ = 0;
  DialupInfo lease_;
  bool confirmed_ = false;  // this lease's first handshake succeeded, and its up hook too
  bool readySent_ = false;
  int leases_ = 0;
  int succeeded_ = 0;
  int failed_ = 0;
  bool released_ = false;  // this lease was handed back
  int hookStatus_ = 0;     // the up hook's status when it failed
  std::string stopReason_;
  Clock::time_point unreachableSince_;
  Backoff backoff_;
};

}  // namespace

std::string CheckIntervalOption(const std::string& text) {
  return CheckSecondsOption(text, kMinIntervalSeconds, true, "from 1 to");
}

std::string CheckDurationOption(const std::string& text) {
  return CheckSecondsOption(text, 0, false, "above 0 and at most");
}

int RunConnect(const Settings& settings, Console& console, const ConnectOptions& options,
               ConnectEvents* events) {
  Report report(console, "connect", /*json=*/false);
  UserIdentity identity;
  ConnectEvents noEvents;
  Connection connection(settings, console, options, events != nullptr ? *events : noEvents, report, identity);
  std::string error;
  if (options.passwordFile.empty()) {
    ResolveIdentity(settings, console, report, &identity);
  } else if (!settings.password.empty()) {
    report.UsageError("--password-file and a password from the settings exclude each other");
  } else if (ResolveUser(settings, report, &identity.username) &&
             !ReadPasswordFile(options.passwordFile, &identity.password, &error)) {
    report.UsageError(error);
  }
  return report.failed() ? connection.Finish() : connection.Run();
}

}  // namespace proxycli
