#include "tools/cli/Operations.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <set>

#include "tools/cli/CatalogueOutput.h"
#include "tools/cli/ConformanceCheck.h"
#include "tools/cli/ConnectLoop.h"
#include "tools/cli/ConnectPolicy.h"
#include "tools/cli/Demo.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/Identity.h"
#include "tools/cli/LineReader.h"
#include "tools/cli/PasswordPrompt.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/SessionClient.h"
#include "tools/cli/Shell.h"
#include "tools/cli/Views.h"

namespace proxycli {

struct Invocation {
  std::string program = "proxyhelper";
  RegInfo registration;  // username empty: the global user
  RecInfo recharge;
  bool local = false;  // servers from the cache, offline
  CatalogueFilter filter;
  bool jsonLines = false;
  ConnectOptions connect;
  std::string reloginCodes = kDefaultReloginCodes;
  std::string giveUpAfter;
  std::string hookTimeout = "30s";
  CheckOptions check;
  DemoOptions demo;
  bool quietServer = true;
  std::vector<std::string> helpTopics;
};

namespace {

std::string CheckDurationText(const std::string& text) {
  std::chrono::milliseconds duration;
  return ParseDuration(text, &duration);
}

// ---- options

void RegisterOptions(CLI::App& c, Invocation& in) {
  c.add_option("user", in.registration.username, "New account's user name (default: --user)");
  c.add_option("--phone", in.registration.phone, "Phone number");
  c.add_option("--email", in.registration.email, "E-mail address");
  c.add_option("--qq", in.registration.qq, "QQ number");
  c.add_option("--memo", in.registration.memo, "Remark");
}

void RechargeOptions(CLI::App& c, Invocation& in) {
  c.add_option("--card", in.recharge.cardno, "Card number")->required();
  c.add_option("--card-password", in.recharge.cardpw, "Card password")
      ->envname("PROXYHELPER_CARD_PASSWORD")
      ->required();
}

void ServersOptions(CLI::App& c, Invocation& in) {
  c.add_flag("--local", in.local, "Rebuild it from the local cache, without the network");
  c.add_option("--group", in.filter.group, "Only the group of this name (case ignored)")->type_name("NAME");
  c.add_option("--level", in.filter.level, "Only the servers of this level")
      ->check(CLI::NonNegativeNumber)
      ->option_text("N");
  c.add_option("--location", in.filter.location, "Only the servers whose location holds TEXT (case ignored)")
      ->type_name("TEXT");
  c.add_option("--limit", in.filter.limit, "At most N servers")->check(CLI::PositiveNumber)->option_text("N");
  c.add_option("--sort", in.filter.sort, "Order within each group")
      ->check(CLI::IsMember({"name", "id", "level", "location"}))
      ->option_text("name|id|level|location");
  c.add_flag("--jsonl", in.jsonLines, "One JSON object per server and line");
}

void ConnectOptionsOf(CLI::App& c, Invocation& in) {
  ConnectOptions& o = in.connect;
  c.add_option("--server-id", o.serverId, "VPN server id (see 'servers')")->required();
  c.add_option("--interval", o.intervalSeconds,
               "Seconds between handshakes (default: the pushed heartbeat, else 30)")
      ->check(CheckIntervalOption);
  c.add_option("--duration", o.durationSeconds, "Stop after this many seconds")->check(CheckDurationOption);
  c.add_option("--release-code", o.releaseOutcome, "Outcome code reported on release")
      ->capture_default_str()
      ->check([](const std::string& text) {
        return text == std::to_string(kKeepLeaseOutcome)
                   ? std::to_string(kKeepLeaseOutcome) + " would keep the lease"
                   : std::string();
      });
  c.add_option("--relogin-on", in.reloginCodes,
               "Handshake refusals that make connect sign in and lease again")
      ->capture_default_str()
      ->option_text("CODES")
      ->check([](const std::string& text) {
        std::set<int> codes;
        return ParseReloginCodes(text, &codes);
      });
  c.add_option("--give-up-after", in.giveUpAfter,
               "Exit (status 3) once the service has been unreachable this long (default: never)")
      ->option_text("DURATION")
      ->check(CheckDurationText);
  c.add_option("--up", o.upCommand,
               "Shell command run once a lease is confirmed (lease in PROXYHELPER_* variables, "
               "password on its standard input)")
      ->option_text("CMD");
  c.add_option("--down", o.downCommand, "Shell command run after a confirmed lease ends")->option_text("CMD");
  c.add_option("--hook-timeout", in.hookTimeout, "Time a hook may take")
      ->capture_default_str()
      ->option_text("DURATION")
      ->check(CheckDurationText);
  c.add_option("--password-file", o.passwordFile,
               "Read the password from the first line of this file (mode 0600 or stricter)")
      ->option_text("FILE");
}

void CheckOptionsOf(CLI::App& c, Invocation& in) {
  c.add_option("--server-id", in.check.serverId, "VPN server to lease (default: the catalogue's first)")
      ->check(CLI::PositiveNumber);
  c.add_option("--register", in.check.registerUser,
               "Also register this new account (with the password) and see it refused the second time");
  CLI::Option* card = c.add_option("--card", in.check.cardNo, "Also credit this prepaid card to the account");
  c.add_option("--card-password", in.check.cardPassword, "The card's password")->needs(card);
}

void DemoOptionsOf(CLI::App& c, Invocation& in) {
  c.add_flag("--quiet-server,!--verbose", in.quietServer,
             "Hide (default) or show (--verbose) the service's log lines");
  c.add_flag("--tls", in.demo.tls,
             "Serve over TLS with a throwaway CA made for this run, and trust only that CA");
}

// help's topics and config's subcommand are for the command line itself.
void HelpOptions(CLI::App& c, Invocation& in) {
  c.add_option("subcommand", in.helpTopics, "The subcommand (and its subcommand) to explain");
}

void ConfigOptions(CLI::App& c, Invocation&) {
  c.require_subcommand(1);
  c.add_subcommand("show", "Print every setting, its value and where it came from");
}

// ---- handlers

void Version(const Settings& settings, Console&, Invocation&, Report& report, ServiceCalls& calls) {
  report.data()["client_version"] = settings.clientVersion;
  report.data()["agent"] = settings.agent;
  std::string version;
  if (!calls.GetVersion(version)) return;
  report.data()["service_version"] = version;
  report.Print("client  " + Printable(settings.agent) + " " + Printable(settings.clientVersion) +
               "\nservice " + Printable(version) + "\n");
}

void Register(const Settings& settings, Console& console, Invocation& in, Report& report,
              ServiceCalls& calls) {
  RegInfo info = in.registration;
  if ((info.username.empty() && !ResolveUser(settings, report, &info.username)) ||
      !ResolvePassword(settings, console, report, info.username, &info.password)) {
    return;
  }
  // A mistyped new password would lock the account out: ask twice.
  std::string repeated;
  if (settings.password.empty() &&
      (!ReadPasswordNoEcho("Repeat the password: ", &repeated) || repeated != info.password)) {
    report.UsageError("the two passwords differ");
    return;
  }
  report.data()["username"] = info.username;
  if (calls.Register(info)) report.Print("registered " + info.username + "\n");
}

void Recharge(const Settings& settings, Console& console, Invocation& in, Report& report,
              ServiceCalls& calls) {
  RecInfo info = in.recharge;
  if (!ResolveUser(settings, report, &info.username) ||
      !ResolvePassword(settings, console, report, info.username, &info.password)) {
    return;
  }
  report.data()["username"] = info.username;
  report.data()["cardno"] = info.cardno;
  if (calls.Recharge(info)) report.Print("recharged " + info.username + " with card " + info.cardno + "\n");
}

// Streams what it shows: no copy of the catalogue, and with --json the
// document is written here as its groups are formatted, not held whole by
// the report. --jsonl prints its lines itself, whatever --json says.
int Servers(const Settings& settings, Console& console, Invocation& in) {
  const bool jsonDocument = settings.json && !in.jsonLines;
  Report report(console, "servers", jsonDocument);
  report.data()["source"] = in.local ? "local" : "remote";
  ServerCatalogue catalogue;
  const LentCatalogue lent =
      in.local ? LentCatalogue::kNoConnect : CatalogueFromConnect(settings, report, &catalogue);
  UserIdentity identity;
  HostPaths paths;
  std::string error;
  bool fetched = false;
  if (in.local || lent != LentCatalogue::kNoConnect ||
      ResolveIdentity(settings, console, report, &identity)) {
    if (!PrepareHost(settings, &paths, &error)) {
      report.UsageError(error);
    } else if (in.local) {
      fetched = ServiceCalls(report, paths).GetLocalVpnServers(catalogue);
    } else if (lent != LentCatalogue::kNoConnect) {
      fetched = lent == LentCatalogue::kFetched;
    } else {
      ServiceCalls calls(report, paths);
      if (calls.SignIn(identity)) {
        // The catalogue request is encrypted under the keys the user info brings.
        UserInfo info;
        fetched = calls.GetUserInfo(info) && calls.GetVpnServers(catalogue);
        calls.EndSession();
      }
    }
  }
  std::optional<CatalogueSelection> shown;
  if (fetched) {
    shown.emplace(catalogue, in.filter);
    report.data()["count"] = shown->size();
    report.data()["total"] = CatalogueSize(catalogue);
    if (in.jsonLines) {
      WriteCatalogueJsonLines(console.out, *shown);
    } else if (!jsonDocument) {
      WriteCatalogueText(console.out, *shown);
    }
  }
  report.Finish([&shown](std::ostream& out, const nlohmann::json& document, int indent) {
    WriteServersDocument(out, document, shown ? &*shown : nullptr, indent);
  });
  // A full disk or a closed pipe must not pass for a shown catalogue.
  if (!console.out.flush()) {
    report.Failure("servers", -1, "output failed", "the catalogue could not be written to standard output");
  }
  return report.exitStatus();
}

int Connect(const Settings& settings, Console& console, Invocation& in) {
  // Checked by the command line already; parsed once more into their types.
  ParseReloginCodes(in.reloginCodes, &in.connect.reloginCodes);
  if (!in.giveUpAfter.empty()) ParseDuration(in.giveUpAfter, &in.connect.giveUpAfter);
  ParseDuration(in.hookTimeout, &in.connect.hookTimeout);
  return RunConnect(settings, console, in.connect);
}

int Status(const Settings& settings, Console& console, Invocation&) {
  return RunStatusCommand(settings, console);
}

int Disconnect(const Settings& settings, Console& console, Invocation&) {
  return RunDisconnectCommand(settings, console);
}

int Shell(const Settings& settings, Console& console, Invocation& in) {
  if (console.inputIsTerminal) {
    EditLineReader reader(in.program.c_str(), stdin, stdout, stderr);
    return RunShell(settings, console, reader);
  }
  StreamLineReader reader(console.in);
  return RunShell(settings, console, reader);
}

int Check(const Settings& settings, Console& console, Invocation& in) {
  Report report(console, "check", settings.json);
  UserIdentity identity;
  if (!ResolveIdentity(settings, console, report, &identity)) return report.Finish();
  // The check signs in and out as this user: beside a connect for the same
  // account it would end connect's session.
  const std::string refusal = RefuseBesideConnect(settings, identity.username, "check");
  HostPaths paths;
  std::string error;
  if (!refusal.empty() || !PrepareHost(settings, &paths, &error)) {
    report.UsageError(refusal.empty() ? error : refusal);
    return report.Finish();
  }
  Settings withUser = settings;
  withUser.user = identity.username;
  return ReportConformance(RunConformanceCheck(withUser, identity.password, in.check), settings.json,
                           console);
}

int Demo(const Settings& settings, Console& console, Invocation& in) {
  in.demo.showServerLog = !in.quietServer;
  in.demo.json = settings.json;
  return RunDemo(in.demo, console);
}

}  // namespace

const std::vector<Operation>& Operations() {
  using N = Needs;
  using C = ServiceCalls;
  // One row per subcommand reads better than one field per line.
  // clang-format off
  static const std::vector<Operation> table = {
    // name, help, needs, via connect, JSON fields, options, run, with host, in session
    {"version", "Ask the service for the current client version", N::kHost, false,
     {"client_version", "agent", "service_version"}, nullptr, nullptr, Version, nullptr},
    {"register", "Create an account (USER or --user, and the password)", N::kHost, false,
     {"username"}, RegisterOptions, nullptr, Register, nullptr},
    {"recharge", "Credit a prepaid card to the account", N::kHost, false,
     {"username", "cardno"}, RechargeOptions, nullptr, Recharge, nullptr},
    {"account", "Sign in and show the account state and the pushed configuration", N::kSession, true,
     {"user", "config"}, nullptr, nullptr, nullptr, &C::ShowAccount},
    {"servers", "Show the VPN server catalogue, grouped by name", N::kNothing, true,
     {"source", "count", "total", "groups"}, ServersOptions, Servers, nullptr, nullptr},
    {"ratio", "Show the servers' online ratio", N::kSession, true,
     {"ratios"}, nullptr, nullptr, nullptr, &C::ShowOnlineRatio},
    {"connect", "Lease credentials for a VPN server and keep the lease alive until Ctrl-C or --duration",
     N::kNothing, false, {}, ConnectOptionsOf, Connect, nullptr, nullptr},
    {"status", "Show the lease of the connect running for this account", N::kNothing, false,
     {}, nullptr, Status, nullptr, nullptr},
    {"disconnect", "Have the connect running for this account release its lease, sign out and exit",
     N::kNothing, false, {}, nullptr, Disconnect, nullptr, nullptr},
    {"shell", "Interactive session: every operation in one process", N::kNothing, false,
     {}, nullptr, Shell, nullptr, nullptr},
    {"check", "Check an account service against the protocol, rule by rule (for service implementers)",
     N::kNothing, false, {"rules"}, CheckOptionsOf, Check, nullptr, nullptr},
    {"demo", "Run the reference account service in-process and check a whole session against it",
     N::kNothing, false, {}, DemoOptionsOf, Demo, nullptr, nullptr},
    {"help", "Show the help of the tool, or of one subcommand", N::kNothing, false,
     {}, HelpOptions, nullptr, nullptr, nullptr},
    {"config", "Inspect the settings", N::kNothing, false, {}, ConfigOptions, nullptr, nullptr, nullptr},
  };
  // clang-format on
  return table;
}

const Operation* FindOperation(const std::string& name) {
  for (const Operation& row : Operations()) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

std::shared_ptr<Invocation> NewInvocation(const std::string& program) {
  auto in = std::make_shared<Invocation>();
  if (!program.empty()) in->program = program;
  return in;
}

const std::vector<std::string>& HelpTopics(const Invocation& invocation) { return invocation.helpTopics; }

int RunOperation(const Operation& row, const Settings& settings, Console& console, Invocation& in) {
  if (row.needs == Needs::kNothing) return row.run(settings, console, in);
  Report report(console, row.name, settings.json);
  // A running connect for this account lends its session: a sign-in here would end it.
  if (row.viaConnect && ForwardToConnect(settings, row.name, report)) return report.Finish();
  UserIdentity identity;
  if (row.needs == Needs::kSession && !ResolveIdentity(settings, console, report, &identity)) {
    return report.Finish();
  }
  HostPaths paths;
  std::string error;
  if (!PrepareHost(settings, &paths, &error)) {
    report.UsageError(error);
    return report.Finish();
  }
  ServiceCalls calls(report, paths);
  if (row.needs == Needs::kHost) {
    row.withHost(settings, console, in, report, calls);
  } else if (calls.SignIn(identity)) {
    (calls.*row.inSession)();
    // What was shown stays shown: a sign-out that cannot reach the service
    // (a pushed list the client cannot reach, say) is only a warning.
    calls.EndSession();
  }
  return report.Finish();
}

}  // namespace proxycli
