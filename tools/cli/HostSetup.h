// Hands the settings of one run to the host library: client configuration,
// language, account-server list, CA bundle, time-outs, the catalogue cache's
// directory and the cipher keys kept from an earlier run.
#pragma once

#include <string>

#include "tools/cli/Settings.h"

namespace proxycli {

struct HostPaths {
  std::string cacheDir;  // where "cache.dat" lives
  std::string keysFile;  // the kept cipher key items
};

// Resolves the directories and applies `settings`. The server list replaces
// whatever list and default server the process held before, so each command
// starts from the list it was given. When every entry of it is https and
// `allowPlainPush` is not set, GC_HTTPS_ONLY is set (cleared otherwise): a
// pushed list with a plain entry is then ignored. False with a message when
// the CA bundle is not a readable regular file, a directory cannot be
// created or is not private (see MakePrivateDirectory), or the list has no
// usable entry.
bool PrepareHost(const Settings& settings, HostPaths* paths, std::string* error);

// Loads the kept cipher key items into the configuration cache; false when
// there is no usable keys file.
bool RestoreKeyItems(const HostPaths& paths);

}  // namespace proxycli
