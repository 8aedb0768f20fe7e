#include "tools/cli/CliApp.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "tools/cli/CommandRunner.h"
#include "tools/cli/ConfigFile.h"
#include "tools/cli/Demo.h"
#include "tools/cli/LineReader.h"
#include "tools/cli/ResultText.h"
#include "tools/cli/Shell.h"
#include "tools/cli/XdgPaths.h"

namespace proxycli {

namespace {

// A global option that the configuration file may also set.
struct ConfigurableOption {
  const char* key;  // as in the configuration file
  CLI::Option* option;
  std::string* text;  // null for the --json flag
};

bool ParseBool(const std::string& text, bool* value) {
  std::string lower = text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "true" || lower == "1" || lower == "yes" || lower == "on") {
    *value = true;
    return true;
  }
  if (lower == "false" || lower == "0" || lower == "no" || lower == "off") {
    *value = false;
    return true;
  }
  return false;
}

// Fills every global option that neither a flag nor the environment set
// from the configuration file. False (message printed) on a bad file.
bool ApplyConfigFile(const std::string& path, bool named, const std::vector<ConfigurableOption>& options,
                     Settings* settings, Console& console) {
  ConfigValues values;
  std::vector<std::string> ignored;
  std::string error;
  switch (LoadConfigFile(path, &values, &ignored, &error)) {
    case ConfigStatus::kMissing:
      if (!named) return true;
      console.err << "proxyhelper: configuration file " << path << " does not exist\n";
      return false;
    case ConfigStatus::kInvalid:
      console.err << "proxyhelper: " << error << "\n";
      return false;
    case ConfigStatus::kLoaded:
      break;
  }
  for (const std::string& name : ignored) {
    console.err << "proxyhelper: warning: " << path << ": ignoring " << name
                << " (only top-level keys are read)\n";
  }
  for (const auto& entry : values) {
    std::string key = entry.first;
    std::replace(key.begin(), key.end(), '_', '-');
    const auto known = std::find_if(options.begin(), options.end(),
                                    [&key](const ConfigurableOption& option) { return key == option.key; });
    if (known == options.end()) {
      console.err << "proxyhelper: warning: " << path << ": unknown key \"" << entry.first << "\" ignored\n";
      continue;
    }
    if (known->option->count() > 0 || entry.second.empty()) continue;
    if (key == "servers") {
      std::string list;
      for (const std::string& piece : entry.second) list += (list.empty() ? "" : ";") + piece;
      *known->text = list;
      continue;
    }
    if (entry.second.size() != 1) {
      console.err << "proxyhelper: " << path << ": \"" << entry.first
                  << "\" takes one value (quote values holding spaces or commas)\n";
      return false;
    }
    if (known->text != nullptr) {
      *known->text = entry.second.front();
    } else if (!ParseBool(entry.second.front(), &settings->json)) {
      console.err << "proxyhelper: " << path << ": \"" << entry.first << "\" must be true or false\n";
      return false;
    }
  }
  return true;
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

  Settings settings;
  std::string configFile;
  std::vector<ConfigurableOption> configurable = {
      {"servers",
       app.add_option("--servers", settings.servers,
                      "Account servers, [https://]host[:port] separated by ';' ',' or spaces")
           ->envname("PROXYHELPER_SERVERS")
           ->capture_default_str(),
       &settings.servers},
      {"user", app.add_option("--user,-u", settings.user, "Account user name")->envname("PROXYHELPER_USER"),
       &settings.user},
      {"password",
       app.add_option("--password,-p", settings.password,
                      "Account password (asked for on a terminal if absent)")
           ->envname("PROXYHELPER_PASSWORD"),
       &settings.password},
      {"lang",
       app.add_option("--lang", settings.lang, "Language tag sent to the service (default: from the locale)")
           ->envname("PROXYHELPER_LANG"),
       &settings.lang},
      {"agent",
       app.add_option("--agent", settings.agent, "Client agent name")
           ->envname("PROXYHELPER_AGENT")
           ->capture_default_str(),
       &settings.agent},
      {"client-version",
       app.add_option("--client-version", settings.clientVersion, "Client version sent at sign-in")
           ->envname("PROXYHELPER_CLIENT_VERSION")
           ->capture_default_str(),
       &settings.clientVersion},
      {"cache-dir",
       app.add_option("--cache-dir", settings.cacheDir,
                      "Directory of the catalogue cache (default $XDG_CACHE_HOME/proxyhelper)")
           ->envname("PROXYHELPER_CACHE_DIR"),
       &settings.cacheDir},
      {"ca-bundle",
       app.add_option("--ca-bundle", settings.caBundle,
                      "PEM file of the CAs trusted for https:// servers, instead of the system's")
           ->envname("PROXYHELPER_CA_BUNDLE"),
       &settings.caBundle},
      {"json",
       app.add_flag("--json", settings.json, "Machine-readable JSON output")->envname("PROXYHELPER_JSON"),
       nullptr},
  };
  CLI::Option* configOption =
      app.add_option("--config", configFile,
                     "Configuration file (default $XDG_CONFIG_HOME/proxyhelper/config.ini)")
          ->envname("PROXYHELPER_CONFIG");

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

  bool local = false;
  CLI::App* servers = app.add_subcommand("servers", "Show the VPN server catalogue, grouped by name");
  servers->add_flag("--local", local, "Rebuild it from the local cache, without the network");

  CLI::App* ratio = app.add_subcommand("ratio", "Show the servers' online ratio");

  ConnectOptions connectOptions;
  CLI::App* connect = app.add_subcommand(
      "connect", "Lease credentials for a VPN server and keep the lease alive until Ctrl-C or --duration");
  connect->add_option("--server-id", connectOptions.serverId, "VPN server id (see 'servers')")->required();
  connect
      ->add_option("--interval", connectOptions.intervalSeconds,
                   "Seconds between handshakes (default: the pushed heartbeat, else 30)")
      ->check(CLI::PositiveNumber);
  connect->add_option("--duration", connectOptions.durationSeconds, "Stop after this many seconds")
      ->check(CLI::PositiveNumber);
  connect->add_option("--release-code", connectOptions.releaseOutcome, "Outcome code reported on release")
      ->capture_default_str()
      ->check([](const std::string& text) {
        return text == std::to_string(kKeepLeaseOutcome) ? "9999999 would keep the lease" : std::string();
      });

  CLI::App* shell = app.add_subcommand("shell", "Interactive session: every operation in one process");

  DemoOptions demoOptions;
  bool quietServer = true;
  CLI::App* demo = app.add_subcommand(
      "demo", "Run the reference account service in-process and check a whole session against it");
  demo->add_flag("--quiet-server,!--verbose", quietServer,
                 "Hide (default) or show (--verbose) the service's log lines");
  demo->add_flag("--tls", demoOptions.tls,
                 "Serve over TLS with a throwaway CA made for this run, and trust only that CA");

  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, console.out, console.err);
    return code == static_cast<int>(CLI::ExitCodes::Success) ? kExitOk : kExitUsage;
  }

  *activity = "reading the configuration file";
  const bool configNamed = configOption->count() > 0;
  if (!ApplyConfigFile(configNamed ? configFile : DefaultConfigFile(), configNamed, configurable, &settings,
                       console)) {
    return kExitUsage;
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
    return runner.Servers(local);
  }
  if (ratio->parsed()) {
    *activity = "running ratio";
    return runner.Ratio();
  }
  if (connect->parsed()) {
    *activity = "running connect";
    return runner.Connect(connectOptions);
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
