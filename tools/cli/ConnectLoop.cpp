#include "tools/cli/ConnectLoop.h"

#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "hostlib/quillon.h"
#include "protocol/Vocabulary.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/Printable.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/SessionServer.h"
#include "tools/cli/SessionSocket.h"
#include "tools/cli/StopSignal.h"

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool ParseSeconds(const std::string& text, double* seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  *seconds = std::strtod(text.c_str(), &end);
  return *end == '\0' && end != text.c_str();
}

// Whether the times can drive the clock arithmetic at all; the command
// line's own checks are stricter.
bool TimesAreUsable(const ConnectOptions& options) {
  for (const double seconds : {options.intervalSeconds, options.durationSeconds}) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaxConnectSeconds) return false;
  }
  return true;
}

// Where the loop's progress goes: text with a live status line, or one JSON
// object per line. A write that fails means the reader went away, which
// stops the loop like the SIGPIPE it stands for.
class Output {
 public:
  Output(Console& console, bool json) : console_(console), json_(json) {}
  ~Output() { EndStatus(); }

  void Text(const std::string& text) {
    if (json_) return;
    console_.out << text << std::flush;
    Check();
  }
  void Event(const nlohmann::json& event) {
    if (!json_) return;
    console_.out << DumpJson(event, -1) << "\n" << std::flush;
    Check();
  }
  // Redrawn in place on a terminal, one line per change elsewhere.
  void Status(const std::string& text) {
    if (json_) return;
    if (console_.outputIsTerminal) {
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

// The chain itself; failures go to `report`, progress to `output`, `events`
// and `server` (which may be null).
void RunLoop(const ConnectOptions& options, const UserIdentity& identity, ServiceCalls& calls, Report& report,
             Output& output, ConnectEvents& events, SessionServer* server) {
  nlohmann::json& data = report.data();
  data["server_id"] = options.serverId;
  if (StopRequested() || !calls.SignIn(identity)) return;
  bool leased = false;
  bool released = false;
  int succeeded = 0;
  int failed = 0;
  std::string stopReason;
  UserInfo info;
  if (!StopRequested() && calls.GetUserInfo(info)) {
    const double interval =
        options.intervalSeconds > 0
            ? options.intervalSeconds
            : GlobalCache::Instance().GetConfigInt(protocol::kGcHeartbeatSlot, kFallbackHeartbeatSeconds);
    data["interval_seconds"] = interval;
    DialupInfo lease;
    if (!StopRequested() && calls.GetDailupInfo(options.serverId, lease)) {
      leased = true;
      output.Text("leased server " + std::to_string(options.serverId) + ": user " +
                  Printable(lease.lendusername) + " password " + Printable(lease.lendpassword) + "\n");
      output.Event({{"event", "lease"},
                    {"server_id", options.serverId},
                    {"lendusername", lease.lendusername},
                    {"lendpassword", lease.lendpassword},
                    {"interval_seconds", interval}});
      if (server != nullptr) server->Leased(lease, interval);
      events.Leased(lease);

      const LiveInfo live{lease.lendusername, options.serverId};
      const Clock::time_point start = Clock::now();
      const bool limited = options.durationSeconds > 0;
      const Clock::time_point end = start + Seconds(limited ? options.durationSeconds : 0);
      for (int beat = 0; !StopRequested(); ++beat) {
        VPErrorInfo error;
        const int result = calls.ShakeHands(live, error);
        result == 0 ? ++succeeded : ++failed;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        nlohmann::json event = {{"event", "handshake"},
                                {"result", result},
                                {"result_hex", ResultHex(result)},
                                {"result_name", ResultName(result)},
                                {"handshakes_ok", succeeded},
                                {"handshakes_failed", failed},
                                {"elapsed_seconds", std::round(elapsed * 1000) / 1000}};
        if (result != 0) event["errdesc"] = error.errdesc;
        output.Event(event);
        if (server != nullptr) server->Handshake(result, error.errdesc, succeeded, failed);
        events.Handshake(result, succeeded, failed);
        std::ostringstream line;
        line << "[" << static_cast<long>(elapsed) << "s] server " << options.serverId << " as "
             << Printable(lease.lendusername) << ": " << succeeded << " handshake"
             << (succeeded == 1 ? "" : "s") << " ok";
        if (failed > 0) line << ", " << failed << " failed";
        if (result != 0) line << " (last: " << ResultHex(result) << " " << ResultName(result) << ")";
        output.Status(line.str());
        if (result != 0 && result != RESULT_TRANSPORT_FAILURE) {
          // The service no longer honours the lease; an unreachable
          // service may come back, so only that is retried.
          output.EndStatus();
          report.Failure("ShakeHands", result, error.errdesc);
          stopReason = "handshake refused";
          break;
        }
        Clock::time_point next = start + Seconds(interval * (beat + 1));
        if (limited && next > end) next = end;
        if (WaitForStop(next)) break;
        if (limited && Clock::now() >= end) {
          stopReason = "duration reached";
          break;
        }
      }
      if (stopReason.empty()) stopReason = StopReason(server);
      output.EndStatus();
      if (server != nullptr) server->Ending();
      // Released even after a refused handshake: the service then drops
      // whatever it still holds.
      released = calls.ReleaseDialupInfo(options.releaseOutcome);
      events.Released(released);
      output.Text(std::string(released ? "released" : "release failed") + " (" + stopReason + ", " +
                  std::to_string(succeeded) + " handshakes ok, " + std::to_string(failed) + " failed)\n");
      output.Event({{"event", "release"},
                    {"released", released},
                    {"stop_reason", stopReason},
                    {"handshakes_ok", succeeded},
                    {"handshakes_failed", failed}});
    }
  }
  if (!leased && StopRequested()) stopReason = StopReason(server);
  data["handshakes_ok"] = succeeded;
  data["handshakes_failed"] = failed;
  data["leased"] = leased;
  data["released"] = released;
  if (!stopReason.empty()) data["stop_reason"] = stopReason;
  if (server != nullptr) server->Ending();
  // Signing out ends the session on every path once it was opened.
  data["signed_out"] = calls.SignOut();
}

// What a waiting `disconnect` is told once everything is handed back.
nlohmann::json DisconnectAnswer(Report& report, int serverId) {
  const nlohmann::json& data = report.data();
  const bool leased = data.value("leased", false);
  const bool released = data.value("released", false);
  const bool signedOut = data.value("signed_out", false);
  std::string text = "connect ";
  if (leased)
    text += released ? "released server " + std::to_string(serverId) : "could not release its lease";
  if (!leased) text += "held no lease";
  text += signedOut ? " and signed out\n" : ", and signing out failed\n";
  nlohmann::json answerData = {{"server_id", serverId}, {"released", released}, {"signed_out", signedOut}};
  if (data.contains("errors")) answerData["errors"] = data["errors"];
  return {{"exit_status", report.exitStatus()}, {"data", answerData}, {"text", BytesAsJsonText(text)}};
}

}  // namespace

std::string CheckIntervalOption(const std::string& text) {
  double seconds = 0;
  if (!ParseSeconds(text, &seconds) || !std::isfinite(seconds) || seconds < kMinIntervalSeconds ||
      seconds > kMaxConnectSeconds) {
    return "\"" + text + "\" is not a number of seconds from 1 to 2592000 (30 days)";
  }
  return std::string();
}

std::string CheckDurationOption(const std::string& text) {
  double seconds = 0;
  if (!ParseSeconds(text, &seconds) || !std::isfinite(seconds) || seconds <= 0 ||
      seconds > kMaxConnectSeconds) {
    return "\"" + text + "\" is not a number of seconds above 0 and at most 2592000 (30 days)";
  }
  return std::string();
}

ConnectCommand::ConnectCommand(const Settings& settings, Console& console, const ConnectOptions& options,
                               ConnectEvents* events)
    : settings_(settings),
      console_(console),
      options_(options),
      events_(events),
      report_(console, "connect", /*json=*/false) {}

ConnectCommand::~ConnectCommand() = default;

int ConnectCommand::Run(const UserIdentity& identity) {
  if (!TimesAreUsable(options_)) {
    report_.UsageError("the interval and the duration must be finite numbers of seconds from 0 to 2592000");
    return Finish();
  }
  HostPaths paths;
  std::string error;
  if (!PrepareHost(settings_, &paths, &error)) {
    report_.UsageError(error);
    return Finish();
  }
  // A stop left over from an earlier command of this process does not count.
  ClearStopRequest();
  StopSignalScope signals;

  std::unique_ptr<SessionServer> server;
  const SessionSocketPlace place = LocateSessionSocket(settings_.servers, identity.username, /*create=*/true);
  switch (place.kind) {
    case SessionSocketPlace::Kind::kUnsafe:
      report_.UsageError("refusing to run without a private session socket: " + place.problem);
      return Finish();
    case SessionSocketPlace::Kind::kUnavailable:
      report_.Warning("no session socket (" + place.problem +
                      "): other subcommands cannot use this session, " + "and a sign-in of theirs ends it");
      break;
    case SessionSocketPlace::Kind::kUsable:
      server.reset(new SessionServer(identity.username, paths, options_.serverId));
      switch (server->Open(place, &error)) {
        case SessionListener::Status::kListening:
          break;
        case SessionListener::Status::kBusy:
          report_.UsageError(
              "a connect for " + identity.username + " on " + settings_.servers +
              " is already running ('proxyhelper status' shows it, 'proxyhelper disconnect' ends it)");
          return Finish();
        case SessionListener::Status::kFailed:
          report_.UsageError("session socket: " + error);
          return Finish();
      }
      server->Start();
      break;
  }

  ServiceCalls calls(report_, paths);
  Output output(console_, settings_.json);
  ConnectEvents noEvents;
  RunLoop(options_, identity, calls, report_, output, events_ != nullptr ? *events_ : noEvents, server.get());
  signal_ = StopSignalNumber();
  if (signal_ != 0) report_.data()["signal"] = SignalName(signal_);
  if (server != nullptr) server->Finish(DisconnectAnswer(report_, options_.serverId));
  return Finish();
}

int ConnectCommand::Finish() {
  if (finished_) return status_;
  finished_ = true;
  status_ = report_.exitStatus();
  if (status_ == 0 && signal_ != 0) status_ = 128 + signal_;
  if (settings_.json) {
    nlohmann::json end = report_.data();
    end["event"] = "end";
    end["ok"] = status_ == 0;
    end["exit_status"] = status_;
    if (!end.contains("errors")) end["errors"] = nlohmann::json::array();
    console_.out << DumpJson(end, -1) << "\n";
  }
  report_.Finish();
  return status_;
}

}  // namespace proxycli
