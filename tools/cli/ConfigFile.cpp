#include "tools/cli/ConfigFile.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>

namespace proxycli {

ConfigStatus LoadConfigFile(const std::string& path, ConfigValues* values, std::vector<std::string>* ignored,
                            std::string* error) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return ConfigStatus::kMissing;
  if (!S_ISREG(info.st_mode)) {
    *error = path + " is not a regular file";
    return ConfigStatus::kInvalid;
  }
  std::vector<CLI::ConfigItem> items;
  try {
    items = CLI::ConfigINI().from_file(path);
  } catch (const CLI::Error& e) {
    *error = "cannot read " + path + ": " + e.what();
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
