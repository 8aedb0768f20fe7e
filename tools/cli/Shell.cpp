#include "tools/cli/Shell.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "tools/cli/CatalogueOutput.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/PasswordPrompt.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/SessionClient.h"
#include "tools/cli/StopSignal.h"
#include "tools/cli/Views.h"
#include "tools/cli/XdgPaths.h"
#include "wire/Vocabulary.h"

namespace proxycli {

namespace {

using Words = std::vector<std::string>;

bool ParseInt(const std::string& text, int* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// The catalogue goes out as it is formatted, as text or in the command's
// JSON document, which the report then does not write again.
void ShowCatalogue(Report& report, ServiceCalls& calls, bool (ServiceCalls::*fetch)(ServerCatalogue&)) {
  ServerCatalogue catalogue;
  if (!(calls.*fetch)(catalogue)) return;
  const CatalogueSelection shown(catalogue, CatalogueFilter());
  report.data()["count"] = shown.size();
  if (!report.json()) {
    WriteCatalogueText(report.console().out, shown);
    return;
  }
  report.Finish([&shown](std::ostream& out, const nlohmann::json& document, int indent) {
    WriteServersDocument(out, document, &shown, indent);
  });
}

class ShellSession {
 public:
  ShellSession(const Settings& settings, Console& console, HostPaths paths)
      : settings_(settings), console_(console), paths_(std::move(paths)) {}

  struct Command {
    const char* name;
    std::size_t minArgs;
    std::size_t maxArgs;
    const char* usage;
    void (ShellSession::*run)(Report& report, ServiceCalls& calls, const Words& args);
  };

  static const std::vector<Command>& Commands() {
    using S = ShellSession;
    static const std::vector<Command> commands = {
        {"signin", 0, 2,
         "signin [USER [PASSWORD]]    sign in (default: -u USER) and fetch the account's keys", &S::SignIn},
        {"signout", 0, 0, "signout                     end the session", &S::SignOut},
        {"version", 0, 0, "version                     the client version the service announces",
         &S::Version},
        {"userinfo", 0, 0, "userinfo                    account state and pushed configuration",
         &S::UserInfo},
        {"servers", 0, 0, "servers                     the VPN server catalogue from the service",
         &S::Servers},
        {"local", 0, 0, "local                       the catalogue from the local cache, offline", &S::Local},
        {"ratio", 0, 0, "ratio                       the servers' online ratio", &S::Ratio},
        {"lease", 1, 1,
         "lease ID                    lease credentials for VPN server ID (releasing a held one)", &S::Lease},
        {"handshake", 0, 0, "handshake                   confirm the current lease", &S::Handshake},
        {"release", 0, 1, "release [CODE]              hand the lease back, reporting CODE (default 0)",
         &S::Release},
        {"register", 2, 6, "register USER PASSWORD [PHONE [EMAIL [QQ [MEMO]]]]  create an account",
         &S::Register},
        {"recharge", 4, 4, "recharge USER PASSWORD CARDNO CARDPW  credit a prepaid card", &S::Recharge},
        {"status", 0, 0, "status                      what this session holds", &S::Status},
        {"help", 0, 0, "help                        this list", &S::Help},
    };
    return commands;
  }

  // The commands and their arguments, one per line.
  static std::string HelpText() {
    std::string text = "commands:\n";
    for (const Command& command : Commands()) text += std::string("  ") + command.usage + "\n";
    return text + "  quit                        release, sign out and leave (also: exit, end of input)\n";
  }

  std::string Prompt() const {
    return signedIn_ ? "proxyhelper(" + ProxyHelper::Instance().GetUserNameA() + ")> " : "proxyhelper> ";
  }
  int lastStatus() const { return lastStatus_; }

  // Runs one command line (quit and exit are the caller's).
  void Execute(const Words& words) {
    if (words.empty()) return;
    const std::string& name = words[0];
    Report report(console_, name, settings_.json, /*compact=*/true);
    ServiceCalls calls(report, paths_);
    const std::vector<Command>& commands = Commands();
    const auto found = std::find_if(commands.begin(), commands.end(),
                                    [&name](const Command& command) { return name == command.name; });
    const Words args(words.begin() + 1, words.end());
    if (found == commands.end()) {
      report.UsageError("unknown command \"" + name + "\" (try help)");
    } else if (args.size() < found->minArgs || args.size() > found->maxArgs) {
      report.UsageError(std::string("usage: ") + found->usage);
    } else {
      (this->*found->run)(report, calls, args);
    }
    lastStatus_ = report.Finish();
  }

  // Hands back a held lease and ends an open session.
  void Close() {
    if (lease_) Execute({"release"});
    if (signedIn_) Execute({"signout"});
  }

 private:
  void SignIn(Report& report, ServiceCalls& calls, const Words& args) {
    UserIdentity identity{args.empty() ? settings_.user : args[0], args.size() > 1 ? args[1] : std::string()};
    if (identity.username.empty()) {
      report.UsageError("usage: signin USER [PASSWORD] (or start the shell with -u USER)");
      return;
    }
    // The global password belongs to the global user only.
    if (args.size() < 2 && identity.username == settings_.user) identity.password = settings_.password;
    if (identity.password.empty() &&
        !(console_.inputIsTerminal &&
          ReadPasswordNoEcho("Password for " + identity.username + ": ", &identity.password))) {
      report.UsageError("usage: signin USER PASSWORD (the password is asked for only on a terminal)");
      return;
    }
    report.data()["username"] = identity.username;
    // A sign-in would end the session of a connect for this account.
    const std::string refusal = RefuseBesideConnect(settings_, identity.username, "signin");
    if (!refusal.empty()) {
      report.UsageError(refusal);
      return;
    }
    if (!calls.SignIn(identity)) return;
    signedIn_ = true;
    // Leases and the catalogue are encrypted under the keys the user info
    // brings: fetched now, every command works right after.
    ::UserInfo info;
    if (!calls.GetUserInfo(info)) return;
    report.data()["user"] = UserInfoJson(info);
    report.Print("signed in as " + identity.username + "\n");
  }

  void SignOut(Report& report, ServiceCalls& calls, const Words&) {
    if (!calls.SignOut()) return;
    signedIn_ = false;
    report.Print("signed out\n");
  }

  void Version(Report& report, ServiceCalls& calls, const Words&) {
    std::string version;
    if (!calls.GetVersion(version)) return;
    report.data()["service_version"] = version;
    report.Print("service " + version + "\n");
  }

  void UserInfo(Report& report, ServiceCalls& calls, const Words&) {
    ::UserInfo info;
    if (!calls.GetUserInfo(info)) return;
    report.data()["user"] = UserInfoJson(info);
    report.data()["config"] = PushedConfigJson(CurrentServerConfig());
    report.Print(UserInfoText(info) + PushedConfigText(CurrentServerConfig()));
  }

  void Servers(Report& report, ServiceCalls& calls, const Words&) {
    ShowCatalogue(report, calls, &ServiceCalls::GetVpnServers);
  }

  void Local(Report& report, ServiceCalls& calls, const Words&) {
    ShowCatalogue(report, calls, &ServiceCalls::GetLocalVpnServers);
  }

  void Ratio(Report&, ServiceCalls& calls, const Words&) { calls.ShowOnlineRatio(); }

  void Lease(Report& report, ServiceCalls& calls, const Words& args) {
    int serverId = 0;
    if (!ParseInt(args[0], &serverId)) {
      report.UsageError("lease: \"" + args[0] + "\" is not a server id");
      return;
    }
    if (lease_) {
      // The library holds one lease at a time: the old one goes back first.
      const int previous = lease_->vpnserverid;
      lease_.reset();
      report.data()["released_server_id"] = previous;
      if (!calls.ReleaseDialupInfo(0)) return;
      report.Print("released the lease on server " + std::to_string(previous) + " first\n");
    }
    DialupInfo lease;
    if (!calls.GetDailupInfo(serverId, lease)) return;
    lease_ = LiveInfo{lease.lendusername, serverId};
    report.data()["server_id"] = serverId;
    report.data()["lendusername"] = lease.lendusername;
    report.data()["lendpassword"] = lease.lendpassword;
    report.Print("server " + std::to_string(serverId) + ": user " + Printable(lease.lendusername) +
                 " password " + Printable(lease.lendpassword) + "\n");
  }

  void Handshake(Report& report, ServiceCalls& calls, const Words&) {
    if (!lease_) {
      report.UsageError("no lease to confirm: lease ID first");
      return;
    }
    VPErrorInfo error;
    const int result = calls.ShakeHands(*lease_, error);
    if (result != 0) {
      report.Failure("ShakeHands", result, error.errdesc);
      return;
    }
    report.Print("lease confirmed\n");
  }

  void Release(Report& report, ServiceCalls& calls, const Words& args) {
    int outcome = 0;
    if (!args.empty() && !ParseInt(args[0], &outcome)) {
      report.UsageError("release: \"" + args[0] + "\" is not an integer");
      return;
    }
    // The library forgets its lease token unless the outcome keeps it, also
    // when the exchange fails.
    if (outcome != protocol::kKeepLeaseOutcome) lease_.reset();
    report.data()["outcome"] = outcome;
    if (calls.ReleaseDialupInfo(outcome))
      report.Print("released (outcome " + std::to_string(outcome) + ")\n");
  }

  void Register(Report& report, ServiceCalls& calls, const Words& args) {
    RegInfo info;
    std::string* fields[] = {&info.username, &info.password, &info.phone, &info.email, &info.qq, &info.memo};
    for (std::size_t i = 0; i < args.size(); ++i) *fields[i] = args[i];
    report.data()["username"] = info.username;
    if (calls.Register(info)) report.Print("registered " + info.username + "\n");
  }

  void Recharge(Report& report, ServiceCalls& calls, const Words& args) {
    const RecInfo info{args[0], args[1], args[2], args[3]};
    report.data()["username"] = info.username;
    report.data()["cardno"] = info.cardno;
    if (calls.Recharge(info)) report.Print("recharged " + info.username + " with card " + info.cardno + "\n");
  }

  void Status(Report& report, ServiceCalls&, const Words&) {
    const std::string user = ProxyHelper::Instance().GetUserNameA();
    report.data()["signed_in"] = signedIn_;
    report.data()["username"] = user;
    report.data()["leased"] = lease_.has_value();
    std::string text = signedIn_ ? "signed in as " + Printable(user) : std::string("not signed in");
    if (lease_) {
      report.data()["server_id"] = lease_->vpnserverid;
      text += ", lease on server " + std::to_string(lease_->vpnserverid) + " as " +
              Printable(lease_->lendusername);
    }
    report.Print(text + "\n");
  }

  void Help(Report& report, ServiceCalls&, const Words&) {
    for (const Command& command : Commands()) report.data()["commands"].push_back(command.usage);
    report.Print(HelpText());
  }

  const Settings& settings_;
  Console& console_;
  HostPaths paths_;
  bool signedIn_ = false;
  std::optional<LiveInfo> lease_;  // the one a handshake confirms
  int lastStatus_ = 0;
};

// Lines that carry a password stay out of the history file.
bool MayKeepInHistory(const Words& words) {
  if (words.empty()) return false;
  if (words[0] == "register" || words[0] == "recharge") return false;
  return !(words[0] == "signin" && words.size() > 2);
}

// While a command runs at a terminal, Ctrl-C cancels its exchange with the
// service, which then fails as cancelled; the shell goes on.
class InterruptWatch {
 public:
  explicit InterruptWatch(bool active) {
    if (!active) return;
    TakeInterrupt();
    thread_ = std::thread([this] {
      while (!done_.load()) {
        if (TakeInterrupt()) ProxyHelperControl::CancelAll();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  ~InterruptWatch() {
    done_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> done_{false};  // also keeps the watch from being copied
  std::thread thread_;
};

// A fault of the shell itself rather than of one command.
int ShellUsageError(const Settings& settings, Console& console, const std::string& message) {
  Report report(console, "shell", settings.json, /*compact=*/true);
  report.UsageError(message);
  return report.Finish();
}

}  // namespace

int RunShell(const Settings& settings, Console& console, LineReader& reader) {
  HostPaths paths;
  std::string error;
  if (!PrepareHost(settings, &paths, &error)) return ShellUsageError(settings, console, error);
  // The shell is for signing in: beside a connect for the same account it
  // would end connect's session, so it does not start at all.
  const std::string refusal = RefuseBesideConnect(settings, settings.user, "shell");
  if (!refusal.empty()) return ShellUsageError(settings, console, refusal);
  ShellSession session(settings, console, paths);
  const std::string stateDir = settings.stateDir.empty() ? DefaultStateDirectory() : settings.stateDir;
  if (!reader.LoadHistory(stateDir + "/shell_history", &error)) {
    console.err << "proxyhelper: warning: " << error << "\n";
  }
  std::vector<std::string> names = {"quit", "exit"};
  for (const ShellSession::Command& command : ShellSession::Commands()) names.push_back(command.name);
  reader.SetCompletions(names);
  ClearStopRequest();
  // At a terminal Ctrl-C abandons the line; from a script it ends the run.
  const bool interactive = console.inputIsTerminal;
  StopSignalScope signals(/*interruptStops=*/!interactive);
  std::string line;
  while (!StopRequested() && reader.ReadLine(session.Prompt(), &line)) {
    Words words;
    if (!SplitWords(line, &words, &error)) {
      ShellUsageError(settings, console, error);
      continue;
    }
    if (MayKeepInHistory(words)) reader.AddHistory(line);
    if (!words.empty() && (words[0] == "quit" || words[0] == "exit")) break;
    InterruptWatch watch(interactive);
    session.Execute(words);
    // A Ctrl-C that ended a password prompt ended only that command.
    if (interactive && StopSignalNumber() == SIGINT) ClearStopRequest();
  }
  // The status is the last command's, unless handing back what the session
  // holds fails.
  const int status = session.lastStatus();
  session.Close();
  if (!reader.SaveHistory(&error)) console.err << "proxyhelper: warning: " << error << "\n";
  return session.lastStatus() != 0 ? session.lastStatus() : status;
}

}  // namespace proxycli
