// The INI configuration file: "key = value" lines at the top level, the keys
// named after the long global options ("servers", "user", "password", "lang",
// "agent", "client-version", "cache-dir", "ca-bundle", "json"). Values
// holding spaces or commas are quoted; "servers" may list several entries,
// separated by commas or spaces. A ";" starts a comment anywhere on a line,
// so it cannot be part of a value.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace proxycli {

using ConfigValues = std::map<std::string, std::vector<std::string>>;

// A few settings need a few hundred bytes; anything far beyond is not a
// configuration file.
constexpr std::size_t kMaxConfigFileBytes = 64 * 1024;

enum class ConfigStatus {
  kLoaded,
  kMissing,  // no such file: not an error unless the user named it
  kInvalid,  // unreadable, not a regular file, too large or not INI text
};

// Reads `path` (at most kMaxConfigFileBytes, a regular file or a link to
// one) and parses it with CLI11's INI reader into `values` (key → the value's
// pieces). Items inside a "[section]" are reported in `ignored` as
// "section.key" and otherwise skipped.
ConfigStatus LoadConfigFile(const std::string& path, ConfigValues* values, std::vector<std::string>* ignored,
                            std::string* error);

}  // namespace proxycli
