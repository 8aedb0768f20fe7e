#include "tools/cli/ConnectLoop.h"

#include <chrono>
#include <sstream>

#include "hostlib/quillon.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/StopSignal.h"

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration Seconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Prints the live status: redrawn in place on a terminal, one line per
// change elsewhere, nothing in JSON mode.
class StatusLine {
 public:
  explicit StatusLine(Report& report) : report_(report) {}
  ~StatusLine() { End(); }

  void Show(const std::string& text) {
    if (report_.json()) return;
    std::ostream& out = report_.console().out;
    if (report_.console().outputIsTerminal) {
      out << "\r\033[K" << text << std::flush;
      open_ = true;
    } else {
      out << text << "\n" << std::flush;
    }
  }
  void End() {
    if (open_) report_.console().out << "\n" << std::flush;
    open_ = false;
  }

 private:
  Report& report_;
  bool open_ = false;
};

}  // namespace

int RunConnect(const ConnectOptions& options, const UserIdentity& identity, ServiceCalls& calls,
               Report& report, ConnectEvents* events) {
  ConnectEvents noEvents;
  if (events == nullptr) events = &noEvents;
  nlohmann::json& data = report.data();
  data["server_id"] = options.serverId;

  if (StopRequested() || !calls.SignIn(identity)) return report.exitStatus();
  bool leased = false;
  bool released = false;
  int succeeded = 0;
  int failed = 0;
  std::string stopReason = "stopped";
  {
    UserInfo info;
    if (!StopRequested() && calls.GetUserInfo(info)) {
      const double interval =
          options.intervalSeconds > 0
              ? options.intervalSeconds
              : GlobalCache::Instance().GetConfigInt("GC_HEARTBEAT_SLOT", kFallbackHeartbeatSeconds);
      data["interval_seconds"] = interval;
      DialupInfo lease;
      if (!StopRequested() && calls.GetDailupInfo(options.serverId, lease)) {
        leased = true;
        data["lendusername"] = lease.lendusername;
        data["lendpassword"] = lease.lendpassword;
        report.Print("leased server " + std::to_string(options.serverId) + ": user " + lease.lendusername +
                     " password " + lease.lendpassword + "\n");
        events->Leased(lease);

        const LiveInfo live{lease.lendusername, options.serverId};
        const Clock::time_point start = Clock::now();
        const bool limited = options.durationSeconds > 0;
        const Clock::time_point end = start + Seconds(limited ? options.durationSeconds : 0);
        StatusLine status(report);
        for (int beat = 0; !StopRequested(); ++beat) {
          VPErrorInfo error;
          const int result = calls.ShakeHands(live, error);
          result == 0 ? ++succeeded : ++failed;
          events->Handshake(result, succeeded, failed);
          const long elapsed = static_cast<long>(
              std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
          std::ostringstream line;
          line << "[" << elapsed << "s] server " << options.serverId << " as " << lease.lendusername << ": "
               << succeeded << " handshake" << (succeeded == 1 ? "" : "s") << " ok";
          if (failed > 0) line << ", " << failed << " failed";
          if (result != 0) line << " (last: " << ResultHex(result) << " " << ResultName(result) << ")";
          status.Show(line.str());
          if (result != 0 && result != RESULT_TRANSPORT_FAILURE) {
            // The service no longer honours the lease; an unreachable
            // service may come back, so only that is retried.
            status.End();
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
        status.End();
        // Released even after a refused handshake: the service then drops
        // whatever it still holds.
        released = calls.ReleaseDialupInfo(options.releaseOutcome);
        events->Released(released);
        report.Print(std::string(released ? "released" : "release failed") + " (" + stopReason + ", " +
                     std::to_string(succeeded) + " handshakes ok, " + std::to_string(failed) + " failed)\n");
      }
    }
  }
  data["handshakes_ok"] = succeeded;
  data["handshakes_failed"] = failed;
  data["leased"] = leased;
  data["released"] = released;
  if (leased) data["stop_reason"] = stopReason;
  // Signing out ends the session on every path once it was opened.
  calls.SignOut();
  return report.exitStatus();
}

}  // namespace proxycli
