#include "tools/cli/CliApp.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>

#include "tools/cli/GlobalOptions.h"
#include "tools/cli/Operations.h"
#include "tools/cli/Printable.h"
#include "tools/cli/ResultText.h"

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

// What the run is doing, for an out-of-memory message: literals only, so
// that telling it needs no memory.
struct Activity {
  const char* what = "reading the command line";
  const char* command = nullptr;  // after "running"
};

int Run(const std::vector<std::string>& args, Console& console, Activity* activity) {
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
  const std::shared_ptr<Invocation> invocation = NewInvocation(args.empty() ? std::string() : args[0]);
  // Every subcommand's help lists the global options too: they may follow it.
  const std::string globalHelp = globals.HelpBlock();
  for (const Operation& row : Operations()) {
    CLI::App* sub = app.add_subcommand(row.name, row.help);
    if (row.options != nullptr) row.options(*sub, *invocation);
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

  CLI::App* chosen = app.get_subcommands().front();
  if (chosen->get_name() == "help") {
    const std::vector<std::string>& topics = HelpTopics(*invocation);
    CLI::App* topic = &app;
    for (const std::string& word : topics) {
      CLI::App* sub = SubcommandNamed(*topic, word);
      if (sub == nullptr) return UnknownCommand(word, *topic, console);
      topic = sub;
    }
    std::string prefix = "proxyhelper";
    for (std::size_t i = 0; i + 1 < topics.size(); ++i) prefix += " " + topics[i];
    console.out << (topic == &app ? app.get_formatter()->make_help(&app, prefix, CLI::AppFormatMode::Normal)
                                  : topic->help(prefix));
    return kExitOk;
  }

  activity->what = "reading the configuration file";
  if (!globals.Resolve(console)) return kExitUsage;
  if (chosen->get_name() == "config") {
    activity->what = "running config show";
    return globals.Show(console);
  }
  const Operation* row = FindOperation(chosen->get_name());
  activity->what = "running";
  activity->command = row->name;
  return RunOperation(*row, globals.settings(), console, *invocation);
}

// A last line on the error stream, from C strings only. A stream that fails,
// or throws, now is left alone: there is nothing better to report it with.
void WriteLastWord(std::ostream& err, const char* what, const char* detail,
                   const char* command = nullptr) noexcept {
  try {
    err << "proxyhelper: " << what << ": " << detail;
    if (command != nullptr) err << " " << command;
    err << "\n" << std::flush;
  } catch (...) {
  }
}

}  // namespace

int RunCli(const std::vector<std::string>& args, Console& console) {
  Activity activity;
  try {
    return Run(args, console, &activity);
  } catch (const std::bad_alloc&) {
    // Unwinding has freed what the run held, and the line is built from C strings.
    WriteLastWord(console.err, "out of memory", activity.what, activity.command);
  } catch (const std::exception& e) {
    WriteLastWord(console.err, "internal error", e.what());
  } catch (...) {
    WriteLastWord(console.err, "internal error", activity.what, activity.command);
  }
  return kExitRefused;
}

}  // namespace proxycli
