#include "tools/cli/CliApp.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <set>

#include "tools/cli/CommandRunner.h"
#include "tools/cli/ConfigFile.h"
#include "tools/cli/ConnectPolicy.h"
#include "tools/cli/Demo.h"
#include "tools/cli/GlobalOptions.h"
#include "tools/cli/LineReader.h"
#include "tools/cli/Printable.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/SessionClient.h"
#include "tools/cli/Shell.h"
#include "tools/cli/XdgPaths.h"

namespace proxycli {

namespace {

// Edits (insertions, deletions, substitutions) from `a` to `b`.
std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The subcommand `word` most likely meant: the only one it begins, else the
// nearest within a typo or two; empty when nothing is close.
std::string Suggestion(const std::string& word, CLI::App& app) {
  std::string best;
  // One slip in a short word, two in a longer one; more is another word.
  std::size_t bestDistance = (word.size() <= 3 ? 1 : 2) + 1;
  std::vector<std::string> prefixed;
  for (CLI::App* sub : app.get_subcommands({})) {
    const std::string& name = sub->get_name();
    if (name.compare(0, word.size(), word) == 0) prefixed.push_back(name);
    const std::size_t distance = EditDistance(word, name);
    if (distance < bestDistance) {
      bestDistance = distance;
      best = name;
    }
  }
  if (prefixed.size() == 1 && !word.empty()) return prefixed.front();
  return best;
}

// The first word of the command line that is neither an option nor an
// option's value: where the subcommand should be. Empty when there is none.
std::string FirstWord(CLI::App& app, const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") return i + 1 < args.size() ? args[i + 1] : std::string();
    if (arg.size() < 2 || arg[0] != '-') return arg;
    if (arg.find('=') != std::string::npos) continue;
    const CLI::Option* option = app.get_option_no_throw(arg);
    if (option != nullptr && option->get_items_expected_max() != 0) ++i;
  }
  return std::string();
}

// The subcommand of `app` called `name`, or null.
CLI::App* SubcommandNamed(CLI::App& app, const std::string& name) {
  for (CLI::App* sub : app.get_subcommands({})) {
    if (sub->get_name() == name) return sub;
  }
  return nullptr;
}

// "unknown command 'acount'; did you mean 'account'?", exit status 2.
int UnknownCommand(const std::string& word, CLI::App& app, Console& console) {
  console.err << "proxyhelper: unknown command '" << Printable(word) << "'";
  const std::string suggestion = Suggestion(word, app);
  if (!suggestion.empty()) console.err << "; did you mean '" << suggestion << "'?";
  console.err << "\nRun 'proxyhelper help' for the list of commands.\n";
  return kExitUsage;
}

std::string CheckDurationText(const std::string& text) {
  std::chrono::milliseconds duration;
  return ParseDuration(text, &duration);
}

// `activity` names, for an out-of-memory message, what the run is doing;
// it only ever points at literals.
int Run(const std::vector<std::string>& args, Console& console, const char** activity) {
  CLI::App app("proxyhelper: command-line client of the VPN account service", "proxyhelper");
  app.set_version_flag("--version", std::string("proxyhelper ") + PROXYHELPER_CLI_VERSION,
                       "Print the version and exit");
  app.require_subcommand(1);
  // Global options may also follow the subcommand.
  app.fallthrough();
  app.footer(
      "Settings come from flags, then the PROXYHELPER_* environment, then the configuration file\n"
      "($XDG_CONFIG_HOME/proxyhelper/config.ini, keys named like the long options).\n"
      "Exit status: 0 success, 1 refused by the service, 2 usage error, 3 no account server reachable.");

  GlobalOptions globals(app);
  Settings& settings = globals.settings();

  CLI::App* version = app.add_subcommand("version", "Ask the service for the current client version");

  RegisterRequest registerRequest;
  CLI::App* reg = app.add_subcommand("register", "Create an account (USER or --user, and the password)");
  reg->add_option("user", registerRequest.user, "New account's user name (default: --user)");
  reg->add_option("--phone", registerRequest.phone, "Phone number");
  reg->add_option("--email", registerRequest.email, "E-mail address");
  reg->add_option("--qq", registerRequest.qq, "QQ number");
  reg->add_option("--memo", registerRequest.memo, "Remark");

  RechargeRequest rechargeRequest;
  CLI::App* recharge = app.add_subcommand("recharge", "Credit a prepaid card to the account");
  recharge->add_option("--card", rechargeRequest.cardNo, "Card number")->required();
  recharge->add_option("--card-password", rechargeRequest.cardPassword, "Card password")
      ->envname("PROXYHELPER_CARD_PASSWORD")
      ->required();

  CLI::App* account =
      app.add_subcommand("account", "Sign in and show the account state and the pushed configuration");

  ServersOptions serversOptions;
  CLI::App* servers = app.add_subcommand("servers", "Show the VPN server catalogue, grouped by name");
  servers->add_flag("--local", serversOptions.local, "Rebuild it from the local cache, without the network");
  servers->add_option("--group", serversOptions.filter.group, "Only the group of this name (case ignored)")
      ->type_name("NAME");
  servers->add_option("--level", serversOptions.filter.level, "Only the servers of this level")
      ->check(CLI::NonNegativeNumber)
      ->option_text("N");
  servers
      ->add_option("--location", serversOptions.filter.location,
                   "Only the servers whose location holds TEXT (case ignored)")
      ->type_name("TEXT");
  servers->add_option("--limit", serversOptions.filter.limit, "At most N servers")
      ->check(CLI::PositiveNumber)
      ->option_text("N");
  servers->add_option("--sort", serversOptions.filter.sort, "Order within each group")
      ->check(CLI::IsMember({"name", "id", "level", "location"}))
      ->option_text("name|id|level|location");
  servers->add_flag("--jsonl", serversOptions.jsonLines, "One JSON object per server and line");

  CLI::App* ratio = app.add_subcommand("ratio", "Show the servers' online ratio");

  ConnectOptions connectOptions;
  CLI::App* connect = app.add_subcommand(
      "connect", "Lease credentials for a VPN server and keep the lease alive until Ctrl-C or --duration");
  connect->add_option("--server-id", connectOptions.serverId, "VPN server id (see 'servers')")->required();
  connect
      ->add_option("--interval", connectOptions.intervalSeconds,
                   "Seconds between handshakes (default: the pushed heartbeat, else 30)")
      ->check(CheckIntervalOption);
  connect->add_option("--duration", connectOptions.durationSeconds, "Stop after this many seconds")
      ->check(CheckDurationOption);
  connect->add_option("--release-code", connectOptions.releaseOutcome, "Outcome code reported on release")
      ->capture_default_str()
      ->check([](const std::string& text) {
        return text == std::to_string(kKeepLeaseOutcome)
                   ? std::to_string(kKeepLeaseOutcome) + " would keep the lease"
                   : std::string();
      });

  std::string reloginCodes = kDefaultReloginCodes;
  connect
      ->add_option("--relogin-on", reloginCodes,
                   "Handshake refusals that make connect sign in and lease again")
      ->capture_default_str()
      ->option_text("CODES")
      ->check([](const std::string& text) {
        std::set<int> codes;
        return ParseReloginCodes(text, &codes);
      });
  std::string giveUpAfter;
  connect
      ->add_option("--give-up-after", giveUpAfter,
                   "Exit (status 3) once the service has been unreachable this long (default: never)")
      ->option_text("DURATION")
      ->check(CheckDurationText);
  connect
      ->add_option("--up", connectOptions.upCommand,
                   "Shell command run once a lease is confirmed (lease in PROXYHELPER_* variables, "
                   "password on its standard input)")
      ->option_text("CMD");
  connect->add_option("--down", connectOptions.downCommand, "Shell command run after a confirmed lease ends")
      ->option_text("CMD");
  std::string hookTimeout = "30s";
  connect->add_option("--hook-timeout", hookTimeout, "Time a hook may take")
      ->capture_default_str()
      ->option_text("DURATION")
      ->check(CheckDurationText);
  connect
      ->add_option("--password-file", connectOptions.passwordFile,
                   "Read the password from the first line of this file (mode 0600 or stricter)")
      ->option_text("FILE");

  CLI::App* status = app.add_subcommand("status", "Show the lease of the connect running for this account");
  CLI::App* disconnect = app.add_subcommand(
      "disconnect", "Have the connect running for this account release its lease, sign out and exit");

  CLI::App* shell = app.add_subcommand("shell", "Interactive session: every operation in one process");

  CheckOptions checkOptions;
  CLI::App* check = app.add_subcommand(
      "check", "Check an account service against the protocol, rule by rule (for service implementers)");
  check
      ->add_option("--server-id", checkOptions.serverId,
                   "VPN server to lease (default: the catalogue's first)")
      ->check(CLI::PositiveNumber);
  check->add_option("--register", checkOptions.registerUser,
                    "Also register this new account (with the password) and see it refused the second time");
  CLI::Option* cardOption =
      check->add_option("--card", checkOptions.cardNo, "Also credit this prepaid card to the account");
  check->add_option("--card-password", checkOptions.cardPassword, "The card's password")->needs(cardOption);

  DemoOptions demoOptions;
  bool quietServer = true;
  CLI::App* demo = app.add_subcommand(
      "demo", "Run the reference account service in-process and check a whole session against it");
  demo->add_flag("--quiet-server,!--verbose", quietServer,
                 "Hide (default) or show (--verbose) the service's log lines");
  demo->add_flag("--tls", demoOptions.tls,
                 "Serve over TLS with a throwaway CA made for this run, and trust only that CA");

  std::vector<std::string> helpTopic;
  CLI::App* help = app.add_subcommand("help", "Show the help of the tool, or of one subcommand");
  help->add_option("subcommand", helpTopic, "The subcommand (and its subcommand) to explain");

  CLI::App* config = app.add_subcommand("config", "Inspect the settings");
  config->require_subcommand(1);
  CLI::App* configShow =
      config->add_subcommand("show", "Print every setting, its value and where it came from");

  // Every subcommand's help lists the global options too: they may follow it.
  const std::string globalHelp = globals.HelpBlock();
  for (CLI::App* sub : app.get_subcommands({})) {
    sub->footer(globalHelp);
    for (CLI::App* nested : sub->get_subcommands({})) nested->footer(globalHelp);
  }

  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() != static_cast<int>(CLI::ExitCodes::Success)) {
      const std::string word = FirstWord(app, args);
      if (!word.empty() && SubcommandNamed(app, word) == nullptr) return UnknownCommand(word, app, console);
    }
    const int code = app.exit(e, console.out, console.err);
    return code == static_cast<int>(CLI::ExitCodes::Success) ? kExitOk : kExitUsage;
  }

  if (help->parsed()) {
    CLI::App* topic = &app;
    for (const std::string& word : helpTopic) {
      CLI::App* sub = SubcommandNamed(*topic, word);
      if (sub == nullptr) return UnknownCommand(word, *topic, console);
      topic = sub;
    }
    std::string prefix = "proxyhelper";
    for (std::size_t i = 0; i + 1 < helpTopic.size(); ++i) prefix += " " + helpTopic[i];
    console.out << (topic == &app ? app.get_formatter()->make_help(&app, prefix, CLI::AppFormatMode::Normal)
                                  : topic->help(prefix));
    return kExitOk;
  }

  *activity = "reading the configuration file";
  if (!globals.Resolve(console)) return kExitUsage;
  if (configShow->parsed()) {
    *activity = "running config show";
    return globals.Show(console);
  }

  CommandRunner runner(settings, console);
  if (version->parsed()) {
    *activity = "running version";
    return runner.Version();
  }
  if (reg->parsed()) {
    *activity = "running register";
    return runner.Register(registerRequest);
  }
  if (recharge->parsed()) {
    *activity = "running recharge";
    return runner.Recharge(rechargeRequest);
  }
  if (account->parsed()) {
    *activity = "running account";
    return runner.Account();
  }
  if (servers->parsed()) {
    *activity = "running servers";
    return runner.Servers(serversOptions);
  }
  if (ratio->parsed()) {
    *activity = "running ratio";
    return runner.Ratio();
  }
  if (connect->parsed()) {
    *activity = "running connect";
    // Checked already; parsed once more into their own types.
    ParseReloginCodes(reloginCodes, &connectOptions.reloginCodes);
    if (!giveUpAfter.empty()) ParseDuration(giveUpAfter, &connectOptions.giveUpAfter);
    ParseDuration(hookTimeout, &connectOptions.hookTimeout);
    return runner.Connect(connectOptions);
  }
  if (status->parsed()) {
    *activity = "running status";
    return RunStatusCommand(settings, console);
  }
  if (disconnect->parsed()) {
    *activity = "running disconnect";
    return RunDisconnectCommand(settings, console);
  }
  if (check->parsed()) {
    *activity = "running check";
    return runner.Check(checkOptions);
  }
  if (shell->parsed()) {
    *activity = "running shell";
    if (console.inputIsTerminal) {
      EditLineReader reader(args.empty() ? "proxyhelper" : args[0].c_str(), stdin, stdout, stderr);
      return RunShell(settings, console, reader);
    }
    StreamLineReader reader(console.in);
    return RunShell(settings, console, reader);
  }
  if (demo->parsed()) {
    *activity = "running demo";
    demoOptions.showServerLog = !quietServer;
    demoOptions.json = settings.json;
    return RunDemo(demoOptions, console);
  }
  return kExitUsage;
}

// A last line on the error stream, from C strings only. A stream that fails,
// or throws, now is left alone: there is nothing better to report it with.
void WriteLastWord(std::ostream& err, const char* what, const char* detail) noexcept {
  try {
    err << "proxyhelper: " << what << ": " << detail << "\n" << std::flush;
  } catch (...) {
  }
}

}  // namespace

int RunCli(const std::vector<std::string>& args, Console& console) {
  const char* activity = "reading the command line";
  try {
    return Run(args, console, &activity);
  } catch (const std::bad_alloc&) {
    // Unwinding has freed what the run held, and the line is built from C strings.
    WriteLastWord(console.err, "out of memory", activity);
  } catch (const std::exception& e) {
    WriteLastWord(console.err, "internal error", e.what());
  } catch (...) {
    WriteLastWord(console.err, "internal error", activity);
  }
  return kExitRefused;
}

}  // namespace proxycli
