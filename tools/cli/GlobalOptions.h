// The global options: their CLI11 definitions, and for each the weighing of
// command line, environment (PROXYHELPER_*), configuration file and default,
// remembering which one won so that `config show` can say so.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/cli/Console.h"
#include "tools/cli/Settings.h"

namespace proxycli {

// Upper bounds of --timeout and --operation-timeout, in seconds: far beyond
// any sensible wait, and well inside the library's millisecond integers.
constexpr double kMaxTimeoutSeconds = 3600;
constexpr double kMaxOperationTimeoutSeconds = 86400;

class GlobalOptions {
 public:
  // Adds the global options to `app`.
  explicit GlobalOptions(CLI::App& app);
  GlobalOptions(const GlobalOptions&) = delete;
  GlobalOptions& operator=(const GlobalOptions&) = delete;

  // After a successful parse: fills what the command line left unset from
  // the environment, then from the configuration file; reads the password
  // from standard input for --password-stdin; checks the time-outs; copies
  // -v and -q into `console`. False, with the message printed, on a usage
  // error.
  bool Resolve(Console& console);

  const Settings& settings() const { return settings_; }
  Settings& settings() { return settings_; }

  // "Global options:" with their help lines, for the subcommands' help.
  std::string HelpBlock() const;

  // `config show`: every setting with its value (the password masked) and
  // where it came from. Returns the exit status.
  int Show(Console& console) const;

 private:
  struct Entry {
    const char* key;  // in the configuration file
    std::string env;
    CLI::Option* option;
    std::string* text;               // a setting of text; null for a flag
    bool* flag;                      // a flag's setting; null for text
    std::string source = "default";  // "flag", "environment", "file", "standard input"
    std::string flagText;            // a flag's value from the environment or the file
    std::string* Text() { return text != nullptr ? text : &flagText; }
  };

  bool ApplyConfigFile(Console& console);
  bool ReadPasswordFromInput(Console& console);
  bool ReadSeconds(const Entry& entry, double most, int* milliseconds, Console& console) const;
  // A flag's value from the environment or the file; false, with the
  // message printed, when it is not a boolean.
  bool ReadFlag(const Entry& entry, Console& console) const;
  Entry* Find(const std::string& key);
  const Entry* Find(const std::string& key) const;
  // "PROXYHELPER_TIMEOUT", "/home/a/.config/proxyhelper/config.ini", ...
  std::string SourceDetail(const Entry& entry) const;

  CLI::App& app_;
  Settings settings_;
  std::vector<Entry> entries_;
  std::string timeoutText_;
  std::string operationTimeoutText_;
  bool verbose_ = false;
  bool quiet_ = false;
  bool passwordStdin_ = false;
  std::string configFile_;
  CLI::Option* configOption_ = nullptr;
  bool configFound_ = false;
};

}  // namespace proxycli
