#include "tools/cli/GlobalOptions.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <istream>

#include "hostlib/quillon.h"
#include "tools/cli/ConfigFile.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/Views.h"
#include "tools/cli/XdgPaths.h"

namespace proxycli {

namespace {

// The library's own bounds when the tool sets none (see hostlib/quillon.h).
constexpr int kLibraryTimeoutSeconds = 30;
constexpr int kLibraryOperationTimeoutSeconds = 120;

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

// The help line's "TYPE=default (Env:NAME)", as CLI11 writes it, for the
// options whose environment the tool reads itself.
std::string OptionText(const std::string& type, const std::string& value, const std::string& env) {
  std::string text = type;
  if (!value.empty()) text += "=" + value;
  return text + (text.empty() ? "" : " ") + "(Env:" + env + ")";
}

// "PROXYHELPER_" and the key in upper case, '-' as '_'.
std::string EnvironmentName(const std::string& key) {
  std::string name = "PROXYHELPER_";
  for (const char c : key)
    name += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

std::string Seconds(int milliseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", milliseconds / 1000.0);
  return text;
}

}  // namespace

GlobalOptions::GlobalOptions(CLI::App& app) : app_(app) {
  // In the order help and `config show` list them. A setting's environment
  // variable follows from its key: "ca-bundle", PROXYHELPER_CA_BUNDLE.
  const auto add = [this](const char* key, CLI::Option* option, const char* type, const std::string& shown,
                          std::string* text, bool* flag) {
    const Entry& entry =
        entries_.emplace_back(Entry{key, EnvironmentName(key), option, text, flag, "default", std::string()});
    option->option_text(OptionText(type, shown, entry.env));
  };
  const auto text = [&](const char* key, const char* names, std::string* target, const char* type,
                        const char* description, const std::string& shown = std::string()) {
    add(key, app.add_option(names, *target, description), type, shown, target, nullptr);
  };
  const auto flag = [&](const char* key, bool* target, const char* description) {
    add(key, app.add_flag(std::string("--") + key, *target, description), "", "", nullptr, target);
  };
  text("servers", "--servers", &settings_.servers, "LIST",
       "Account servers, [https://]host[:port] separated by ';' ',' or spaces", kDefaultServers);
  text("user", "--user,-u", &settings_.user, "USER", "Account user name");
  text("password", "--password,-p", &settings_.password, "PASSWORD",
       "Account password (asked for on a terminal if absent)");
  text("lang", "--lang", &settings_.lang, "TAG",
       "Language tag sent to the service (default: from the locale)");
  text("agent", "--agent", &settings_.agent, "NAME", "Client agent name", kDefaultAgent);
  text("client-version", "--client-version", &settings_.clientVersion, "VERSION",
       "Client version sent at sign-in", settings_.clientVersion);
  text("cache-dir", "--cache-dir", &settings_.cacheDir, "DIR",
       "Directory of the catalogue cache (default $XDG_CACHE_HOME/proxyhelper)");
  text("ca-bundle", "--ca-bundle", &settings_.caBundle, "FILE",
       "PEM file of the CAs trusted for https:// servers, instead of the system's");
  flag("json", &settings_.json, "Machine-readable JSON output");
  flag("allow-plain-push", &settings_.allowPlainPush,
       "Follow an account-server list the service pushes even when it has plain http entries "
       "and every server given is https");
  flag("no-reuse", &settings_.noReuse,
       "Open a new connection for every request instead of keeping one per account server");
  text("timeout", "--timeout", &timeoutText_, "SECONDS", "Bound of one HTTP attempt (default 30)");
  text("operation-timeout", "--operation-timeout", &operationTimeoutText_, "SECONDS",
       "Bound of one operation, failover included (default 4 x --timeout, else 120)");
  configOption_ = app.add_option("--config", configFile_,
                                 "Configuration file (default $XDG_CONFIG_HOME/proxyhelper/config.ini)")
                      ->type_name("FILE")
                      ->envname("PROXYHELPER_CONFIG");
  CLI::Option* stdinOption = app.add_flag("--password-stdin", passwordStdin_,
                                          "Read the password from the first line of standard input");
  stdinOption->excludes(Find("password")->option);
  app.add_flag("--verbose,-v", verbose_, "Print every HTTP attempt on stderr");
  app.add_flag("--quiet,-q", quiet_, "No progress line and no warnings on stderr");
}

GlobalOptions::Entry* GlobalOptions::Find(const std::string& key) {
  for (Entry& entry : entries_) {
    if (key == entry.key) return &entry;
  }
  return nullptr;
}

const GlobalOptions::Entry* GlobalOptions::Find(const std::string& key) const {
  return const_cast<GlobalOptions*>(this)->Find(key);
}

bool GlobalOptions::Resolve(Console& console) {
  console.verbose = verbose_;
  console.quiet = quiet_;
  for (Entry& entry : entries_) {
    if (entry.option->count() > 0) {
      entry.source = "flag";
      continue;
    }
    // An empty variable counts as unset, as with CLI11's own.
    const char* value = std::getenv(entry.env.c_str());
    if (value == nullptr || value[0] == '\0') continue;
    *entry.Text() = value;
    entry.source = "environment";
  }
  if (!ApplyConfigFile(console)) return false;
  if (passwordStdin_ && !ReadPasswordFromInput(console)) return false;
  for (const Entry& entry : entries_) {
    if (entry.flag != nullptr && !ReadFlag(entry, console)) return false;
  }
  return ReadSeconds(*Find("timeout"), kMaxTimeoutSeconds, &settings_.timeoutMs, console) &&
         ReadSeconds(*Find("operation-timeout"), kMaxOperationTimeoutSeconds, &settings_.operationTimeoutMs,
                     console);
}

bool GlobalOptions::ApplyConfigFile(Console& console) {
  const bool named = configOption_->count() > 0;
  if (!named) configFile_ = DefaultConfigFile();
  const std::string& path = configFile_;
  ConfigValues values;
  std::vector<std::string> ignored;
  std::string error;
  switch (LoadConfigFile(path, &values, &ignored, &error)) {
    case ConfigStatus::kMissing:
      if (!named) return true;
      console.err << "proxyhelper: configuration file " << Printable(path) << " does not exist\n";
      return false;
    case ConfigStatus::kInvalid:
      console.err << "proxyhelper: " << Printable(error) << "\n";
      return false;
    case ConfigStatus::kLoaded:
      break;
  }
  configFound_ = true;
  const auto warn = [&console](const std::string& text) {
    if (!console.quiet) console.err << "proxyhelper: warning: " << Printable(text) << "\n";
  };
  for (const std::string& name : ignored)
    warn(path + ": ignoring " + name + " (only top-level keys are read)");
  for (const auto& item : values) {
    std::string key = item.first;
    std::replace(key.begin(), key.end(), '_', '-');
    Entry* entry = Find(key);
    if (entry == nullptr) {
      warn(path + ": unknown key \"" + item.first + "\" ignored");
      continue;
    }
    if (key == "password") {
      // As ssh does for its keys: a secret others can read is worth a word.
      struct stat info;
      if (::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        warn(path + " holds a password and is readable by others (mode " + mode + "): chmod 600 " + path);
      }
    }
    if (entry->source != "default" || item.second.empty()) continue;
    if (key == "servers") {
      std::string list;
      for (const std::string& piece : item.second) list += (list.empty() ? "" : ";") + piece;
      *entry->Text() = list;
    } else if (item.second.size() != 1) {
      console.err << "proxyhelper: " << Printable(path) << ": \"" << Printable(item.first)
                  << "\" takes one value (quote values holding spaces or commas)\n";
      return false;
    } else {
      *entry->Text() = item.second.front();
    }
    entry->source = "file";
  }
  return true;
}

bool GlobalOptions::ReadPasswordFromInput(Console& console) {
  std::string line;
  if (!std::getline(console.in, line) && line.empty()) {
    console.err << "proxyhelper: --password-stdin: no password on standard input\n";
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    console.err << "proxyhelper: --password-stdin: the first line of standard input is empty\n";
    return false;
  }
  settings_.password = line;
  Find("password")->source = "standard input";
  return true;
}

bool GlobalOptions::ReadFlag(const Entry& entry, Console& console) const {
  if (entry.source == "default" || entry.source == "flag" || ParseBool(entry.flagText, entry.flag))
    return true;
  console.err << "proxyhelper: " << SourceDetail(entry) << ": \"" << entry.key
              << "\" must be true or false\n";
  return false;
}

bool GlobalOptions::ReadSeconds(const Entry& entry, double most, int* milliseconds, Console& console) const {
  *milliseconds = 0;
  if (entry.source == "default") return true;
  const std::string& text = *entry.text;
  errno = 0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  // At least a millisecond: the library reads 0 as "not set".
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) || seconds < 0.001 ||
      seconds > most) {
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", most);
    console.err << "proxyhelper: " << SourceDetail(entry) << ": " << entry.key << " \"" << Printable(text)
                << "\" is not a number of seconds from 0.001 to " << bound << "\n";
    return false;
  }
  *milliseconds = static_cast<int>(std::lround(seconds * 1000));
  return true;
}

std::string GlobalOptions::SourceDetail(const Entry& entry) const {
  if (entry.source == "flag") return std::string("--") + entry.key;
  if (entry.source == "environment") return entry.env;
  if (entry.source == "file") return configFile_;
  return entry.source;
}

std::string GlobalOptions::HelpBlock() const {
  std::vector<const CLI::Option*> options;
  for (const CLI::Option* option : app_.get_options()) {
    if (option != app_.get_help_ptr() && option->get_name() != "--version") options.push_back(option);
  }
  // Starts with a blank line; the footer adds its own.
  const std::string block = CLI::Formatter().make_group("Global options", false, options);
  return block.substr(block.find_first_not_of('\n'));
}

int GlobalOptions::Show(Console& console) const {
  Report report(console, "config", settings_.json);
  std::vector<std::vector<std::string>> rows = {{"SETTING", "VALUE", "SOURCE"}};
  nlohmann::json document = nlohmann::json::object();
  const auto add = [&](const std::string& key, const std::string& value, const std::string& source,
                       const std::string& from) {
    rows.push_back({key, Printable(value), from.empty() ? source : source + " " + Printable(from)});
    document[key] = {{"value", value}, {"source", source}};
    if (!from.empty()) document[key]["from"] = from;
  };
  for (const Entry& entry : entries_) {
    std::string value = entry.flag != nullptr ? (*entry.flag ? "true" : "false") : *entry.text;
    std::string source = entry.source;
    const std::string from = source == "environment" ? entry.env : source == "file" ? configFile_ : "";
    const std::string key = entry.key;
    if (key == "password") {
      if (!value.empty()) value = "********";
    } else if (source == "default") {
      if (key == "lang") {
        // What the library derives from LC_ALL or LANG.
        CMultiLanguage::Instance().SetCurrConfigLanguageTag(std::string());
        value = CMultiLanguage::Instance().GetCurrConfigLanguageTag();
        source = "default (from the locale)";
      } else if (key == "cache-dir") {
        value = DefaultCacheDirectory();
      } else if (key == "ca-bundle") {
        source = "default (the system's trust store)";
      } else if (key == "timeout") {
        value = std::to_string(kLibraryTimeoutSeconds);
      } else if (key == "operation-timeout") {
        value = settings_.timeoutMs > 0 ? Seconds(kOperationAttempts * settings_.timeoutMs)
                                        : std::to_string(kLibraryOperationTimeoutSeconds);
        if (settings_.timeoutMs > 0) source = "default (4 x timeout)";
      }
    }
    add(key, value, source, from);
  }
  const std::string configSource =
      configOption_->count() == 0 ? "default"
      : std::getenv("PROXYHELPER_CONFIG") != nullptr && configFile_ == std::getenv("PROXYHELPER_CONFIG")
          ? "environment"
          : "flag";
  add("config", configFile_, configFound_ ? configSource : configSource + " (not found)", "");
  report.data()["settings"] = document;
  report.Print(FormatTable(rows, ""));
  return report.Finish();
}

}  // namespace proxycli
