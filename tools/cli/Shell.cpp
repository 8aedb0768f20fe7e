#include "tools/cli/Shell.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
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
#include "tools/cli/ResultText.h"
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

class ShellSession {
 public:
  ShellSession(const Settings& settings, Console& console, HostPaths paths)
      : settings_(settings), console_(console), paths_(std::move(paths)) {}

  // Runs one line; false when the shell should end.
  bool Execute(const Words& words);
  // Hands back a held lease and ends an open session.
  void Close();

  int lastStatus() const { return lastStatus_; }

  struct Command;
  static const std::vector<Command>& Commands();
  std::string Prompt() const {
    return signedIn_ ? "proxyhelper(" + ProxyHelper::Instance().GetUserNameA() + ")> " : "proxyhelper> ";
  }

 private:
  void SignIn(Report& report, ServiceCalls& calls, const Words& args);
  void SignOut(Report& report, ServiceCalls& calls, const Words& args);
  void Version(Report& report, ServiceCalls& calls, const Words& args);
  void UserInfo(Report& report, ServiceCalls& calls, const Words& args);
  void Servers(Report& report, ServiceCalls& calls, const Words& args);
  void Local(Report& report, ServiceCalls& calls, const Words& args);
  void Ratio(Report& report, ServiceCalls& calls, const Words& args);
  void Lease(Report& report, ServiceCalls& calls, const Words& args);
  void Handshake(Report& report, ServiceCalls& calls, const Words& args);
  void Release(Report& report, ServiceCalls& calls, const Words& args);
  void Register(Report& report, ServiceCalls& calls, const Words& args);
  void Recharge(Report& report, ServiceCalls& calls, const Words& args);
  void Status(Report& report, ServiceCalls& calls, const Words& args);
  void Help(Report& report, ServiceCalls& calls, const Words& args);

  const Settings& settings_;
  Console& console_;
  HostPaths paths_;
  bool signedIn_ = false;
  bool leased_ = false;
  LiveInfo live_;
  int lastStatus_ = 0;
};

struct ShellSession::Command {
  const char* name;
  std::size_t minArgs;
  std::size_t maxArgs;
  const char* usage;
  void (ShellSession::*run)(Report& report, ServiceCalls& calls, const Words& args);
};

const std::vector<ShellSession::Command>& ShellSession::Commands() {
  static const std::vector<Command> commands = {
      {"signin", 0, 2, "signin [USER [PASSWORD]]    sign in (default: -u USER) and fetch the account's keys",
       &ShellSession::SignIn},
      {"signout", 0, 0, "signout                     end the session", &ShellSession::SignOut},
      {"version", 0, 0, "version                     the client version the service announces",
       &ShellSession::Version},
      {"userinfo", 0, 0, "userinfo                    account state and pushed configuration",
       &ShellSession::UserInfo},
      {"servers", 0, 0, "servers                     the VPN server catalogue from the service",
       &ShellSession::Servers},
      {"local", 0, 0, "local                       the catalogue from the local cache, offline",
       &ShellSession::Local},
      {"ratio", 0, 0, "ratio                       the servers' online ratio", &ShellSession::Ratio},
      {"lease", 1, 1,
       "lease ID                    lease credentials for VPN server ID (releasing a held one)",
       &ShellSession::Lease},
      {"handshake", 0, 0, "handshake                   confirm the current lease", &ShellSession::Handshake},
      {"release", 0, 1, "release [CODE]              hand the lease back, reporting CODE (default 0)",
       &ShellSession::Release},
      {"register", 2, 6, "register USER PASSWORD [PHONE [EMAIL [QQ [MEMO]]]]  create an account",
       &ShellSession::Register},
      {"recharge", 4, 4, "recharge USER PASSWORD CARDNO CARDPW  credit a prepaid card",
       &ShellSession::Recharge},
      {"status", 0, 0, "status                      what this session holds", &ShellSession::Status},
      {"help", 0, 0, "help                        this list", &ShellSession::Help},
  };
  return commands;
}

bool ShellSession::Execute(const Words& words) {
  if (words.empty()) return true;
  const std::string& name = words[0];
  if (name == "quit" || name == "exit") return false;
  Report report(console_, name, settings_.json, /*compact=*/true);
  ServiceCalls calls(report, paths_);
  const Command* found = nullptr;
  for (const Command& command : Commands()) {
    if (name == command.name) found = &command;
  }
  const Words args(words.begin() + 1, words.end());
  if (found == nullptr) {
    report.UsageError("unknown command \"" + name + "\" (try help)");
  } else if (args.size() < found->minArgs || args.size() > found->maxArgs) {
    report.UsageError(std::string("usage: ") + found->usage);
  } else {
    (this->*found->run)(report, calls, args);
  }
  lastStatus_ = report.Finish();
  return true;
}

void ShellSession::SignIn(Report& report, ServiceCalls& calls, const Words& args) {
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

void ShellSession::SignOut(Report& report, ServiceCalls& calls, const Words&) {
  if (!calls.SignOut()) return;
  signedIn_ = false;
  report.Print("signed out\n");
}

void ShellSession::Version(Report& report, ServiceCalls& calls, const Words&) {
  std::string version;
  if (!calls.GetVersion(version)) return;
  report.data()["service_version"] = version;
  report.Print("service " + version + "\n");
}

void ShellSession::UserInfo(Report& report, ServiceCalls& calls, const Words&) {
  ::UserInfo info;
  if (!calls.GetUserInfo(info)) return;
  report.data()["user"] = UserInfoJson(info);
  report.data()["config"] = PushedConfigJson(CurrentServerConfig());
  report.Print(UserInfoText(info) + PushedConfigText(CurrentServerConfig()));
}

namespace {

// Text goes out as it is formatted; only JSON mode builds the document.
void ShowCatalogue(Report& report, const ServerCatalogue& catalogue) {
  report.data()["count"] = CatalogueSize(catalogue);
  if (report.json()) {
    report.data()["groups"] = CatalogueJson(catalogue);
  } else {
    WriteCatalogueText(report.console().out, CatalogueSelection(catalogue, CatalogueFilter()));
  }
}

}  // namespace

void ShellSession::Servers(Report& report, ServiceCalls& calls, const Words&) {
  ServerCatalogue catalogue;
  if (!calls.GetVpnServers(catalogue)) return;
  ShowCatalogue(report, catalogue);
}

void ShellSession::Local(Report& report, ServiceCalls& calls, const Words&) {
  ServerCatalogue catalogue;
  if (!calls.GetLocalVpnServers(catalogue)) return;
  ShowCatalogue(report, catalogue);
}

void ShellSession::Ratio(Report&, ServiceCalls& calls, const Words&) { calls.ShowOnlineRatio(); }

void ShellSession::Lease(Report& report, ServiceCalls& calls, const Words& args) {
  int serverId = 0;
  if (!ParseInt(args[0], &serverId)) {
    report.UsageError("lease: \"" + args[0] + "\" is not a server id");
    return;
  }
  if (leased_) {
    // The library holds one lease at a time: the old one goes back first.
    const int previous = live_.vpnserverid;
    leased_ = false;
    report.data()["released_server_id"] = previous;
    if (!calls.ReleaseDialupInfo(0)) return;
    report.Print("released the lease on server " + std::to_string(previous) + " first\n");
  }
  DialupInfo lease;
  if (!calls.GetDailupInfo(serverId, lease)) return;
  leased_ = true;
  live_ = LiveInfo{lease.lendusername, serverId};
  report.data()["server_id"] = serverId;
  report.data()["lendusername"] = lease.lendusername;
  report.data()["lendpassword"] = lease.lendpassword;
  report.Print("server " + std::to_string(serverId) + ": user " + Printable(lease.lendusername) +
               " password " + Printable(lease.lendpassword) + "\n");
}

void ShellSession::Handshake(Report& report, ServiceCalls& calls, const Words&) {
  if (!leased_) {
    report.UsageError("no lease to confirm: lease ID first");
    return;
  }
  VPErrorInfo error;
  const int result = calls.ShakeHands(live_, error);
  if (result != 0) {
    report.Failure("ShakeHands", result, error.errdesc);
    return;
  }
  report.Print("lease confirmed\n");
}

void ShellSession::Release(Report& report, ServiceCalls& calls, const Words& args) {
  int outcome = 0;
  if (!args.empty() && !ParseInt(args[0], &outcome)) {
    report.UsageError("release: \"" + args[0] + "\" is not an integer");
    return;
  }
  // The library forgets its lease token unless the outcome keeps it, also
  // when the exchange fails.
  if (outcome != protocol::kKeepLeaseOutcome) leased_ = false;
  report.data()["outcome"] = outcome;
  if (calls.ReleaseDialupInfo(outcome)) report.Print("released (outcome " + std::to_string(outcome) + ")\n");
}

void ShellSession::Register(Report& report, ServiceCalls& calls, const Words& args) {
  RegInfo info;
  std::string* fields[] = {&info.username, &info.password, &info.phone, &info.email, &info.qq, &info.memo};
  for (std::size_t i = 0; i < args.size(); ++i) *fields[i] = args[i];
  report.data()["username"] = info.username;
  if (calls.Register(info)) report.Print("registered " + info.username + "\n");
}

void ShellSession::Recharge(Report& report, ServiceCalls& calls, const Words& args) {
  const RecInfo info{args[0], args[1], args[2], args[3]};
  report.data()["username"] = info.username;
  report.data()["cardno"] = info.cardno;
  if (calls.Recharge(info)) report.Print("recharged " + info.username + " with card " + info.cardno + "\n");
}

void ShellSession::Status(Report& report, ServiceCalls&, const Words&) {
  ProxyHelper& helper = ProxyHelper::Instance();
  report.data()["signed_in"] = signedIn_;
  report.data()["username"] = helper.GetUserNameA();
  report.data()["leased"] = leased_;
  if (leased_) report.data()["server_id"] = live_.vpnserverid;
  std::string text =
      signedIn_ ? "signed in as " + Printable(helper.GetUserNameA()) : std::string("not signed in");
  if (leased_)
    text += ", lease on server " + std::to_string(live_.vpnserverid) + " as " + Printable(live_.lendusername);
  report.Print(text + "\n");
}

void ShellSession::Help(Report& report, ServiceCalls&, const Words&) {
  nlohmann::json usages = nlohmann::json::array();
  for (const Command& command : Commands()) usages.push_back(command.usage);
  report.data()["commands"] = usages;
  report.Print(ShellHelpText());
}

void ShellSession::Close() {
  if (leased_) Execute({"release"});
  if (signedIn_) Execute({"signout"});
}

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
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

std::vector<std::string> CommandNames() {
  std::vector<std::string> names = {"quit", "exit"};
  for (const ShellSession::Command& command : ShellSession::Commands()) names.push_back(command.name);
  return names;
}

}  // namespace

std::string ShellHelpText() {
  std::string text = "commands:\n";
  for (const ShellSession::Command& command : ShellSession::Commands()) {
    text += std::string("  ") + command.usage + "\n";
  }
  return text + "  quit                        release, sign out and leave (also: exit, end of input)\n";
}

int RunShell(const Settings& settings, Console& console, LineReader& reader) {
  HostPaths paths;
  std::string error;
  if (!PrepareHost(settings, &paths, &error)) {
    Report report(console, "shell", settings.json, true);
    report.UsageError(error);
    return report.Finish();
  }
  // The shell is for signing in: beside a connect for the same account it
  // would end connect's session, so it does not start at all.
  const std::string refusal = RefuseBesideConnect(settings, settings.user, "shell");
  if (!refusal.empty()) {
    Report report(console, "shell", settings.json, true);
    report.UsageError(refusal);
    return report.Finish();
  }
  ShellSession session(settings, console, paths);
  const std::string stateDir = settings.stateDir.empty() ? DefaultStateDirectory() : settings.stateDir;
  if (!reader.LoadHistory(stateDir + "/shell_history", &error)) {
    console.err << "proxyhelper: warning: " << error << "\n";
  }
  reader.SetCompletions(CommandNames());
  ClearStopRequest();
  // At a terminal Ctrl-C abandons the line; from a script it ends the run.
  const bool interactive = console.inputIsTerminal;
  StopSignalScope signals(/*interruptStops=*/!interactive);
  std::string line;
  while (!StopRequested() && reader.ReadLine(session.Prompt(), &line)) {
    Words words;
    if (!SplitWords(line, &words, &error)) {
      Report report(console, "shell", settings.json, true);
      report.UsageError(error);
      report.Finish();
      continue;
    }
    if (MayKeepInHistory(words)) reader.AddHistory(line);
    bool goOn = false;
    {
      InterruptWatch watch(interactive);
      goOn = session.Execute(words);
    }
    if (!goOn) break;
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
