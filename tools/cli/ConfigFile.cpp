#include "tools/cli/ConfigFile.h"

#include <CLI/CLI.hpp>
#include <sstream>

#include "tools/cli/LocalFile.h"

namespace proxycli {

ConfigStatus LoadConfigFile(const std::string& path, ConfigValues* values, std::vector<std::string>* ignored,
                            std::string* error) {
  std::string text;
  std::string reason;
  switch (ReadLocalFile(path, kMaxConfigFileBytes, &text, &reason)) {
    case LocalFileStatus::kRead:
      break;
    case LocalFileStatus::kMissing:
      return ConfigStatus::kMissing;
    case LocalFileStatus::kRefused:
    case LocalFileStatus::kUnreadable:
      *error = "cannot read configuration file " + path + ": " + reason;
      return ConfigStatus::kInvalid;
  }
  std::vector<CLI::ConfigItem> items;
  try {
    std::istringstream stream(text);
    items = CLI::ConfigINI().from_config(stream);
  } catch (const CLI::Error& e) {
    *error = "cannot read configuration file " + path + ": " + e.what();
    return ConfigStatus::kInvalid;
  }
  for (const CLI::ConfigItem& item : items) {
    if (item.name == "--") continue;  // CLI11's end-of-section marker
    if (!item.parents.empty()) {
      ignored->push_back(item.fullname());
      continue;
    }
    std::vector<std::string>& target = (*values)[item.name];
    target.insert(target.end(), item.inputs.begin(), item.inputs.end());
  }
  return ConfigStatus::kLoaded;
}

}  // namespace proxycli
