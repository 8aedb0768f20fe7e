// The INI configuration file: "key = value" lines at the top level, the keys
// named after the long global options ("servers", "user", "password", "lang",
// "agent", "client-version", "cache-dir", "ca-bundle", "json", "timeout",
// "operation-timeout"). Values holding spaces, commas, ';' or '#' are quoted
// ("..." or '...'); "servers" may list several entries, separated by commas
// or spaces. Outside quotes a ";" starts a comment anywhere on a line, and a
// "#" at the start of a line or after a blank.
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
// one) into `values` (key → the value's pieces, in file order; a key given
// twice collects both). Items inside a "[section]", and dotted keys, are
// reported in `ignored` as "section.key" and otherwise skipped. A quote left
// open makes the file invalid.
ConfigStatus LoadConfigFile(const std::string& path, ConfigValues* values, std::vector<std::string>* ignored,
                            std::string* error);

}  // namespace proxycli
