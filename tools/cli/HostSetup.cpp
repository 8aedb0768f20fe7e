#include "tools/cli/HostSetup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"
#include "tools/cli/KeyStore.h"
#include "tools/cli/XdgPaths.h"

namespace proxycli {

namespace {

// The library would only find out at the first https attempt, and then as
// one more failed attempt per server; a usage error says which file and why.
bool CheckCaBundle(const std::string& path, std::string* error) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    *error = "CA bundle " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "CA bundle " + path + ": not a regular file";
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = "CA bundle " + path + ": " + std::strerror(errno);
    return false;
  }
  ::close(fd);
  return true;
}

bool AllSecure(const std::vector<CLoginServers::Server>& servers) {
  for (const CLoginServers::Server& server : servers) {
    if (!server.secure) return false;
  }
  return true;
}

void SetOrRemove(const char* item, int value) {
  if (value > 0) {
    GlobalCache::Instance().SetConfigItem(item, value);
  } else {
    GlobalCache::Instance().RemoveConfigItem(item);
  }
}

}  // namespace

bool PrepareHost(const Settings& settings, HostPaths* paths, std::string* error) {
  const std::string cacheDir = settings.cacheDir.empty() ? DefaultCacheDirectory() : settings.cacheDir;
  const std::string stateDir = settings.stateDir.empty() ? DefaultStateDirectory() : settings.stateDir;
  std::string why;
  if (!settings.caBundle.empty() && !CheckCaBundle(settings.caBundle, error)) return false;
  if (!MakePrivateDirectory(cacheDir, &why)) {
    *error = "cache directory: " + why;
    return false;
  }
  if (!MakePrivateDirectory(stateDir, &why)) {
    *error = "state directory: " + why;
    return false;
  }

  CLoginServers& servers = CLoginServers::Instance();
  servers.Clear();
  // Off while the user's own list is read: it is taken as given.
  GlobalCache::Instance().RemoveConfigItem(proxyhelper::config::kHttpsOnly);
  if (servers.Parse(settings.servers, true) == 0) {
    *error = "no usable account server in \"" + settings.servers +
             "\" (expected [https://]host[:port] entries separated by \";\", \",\" or spaces)";
    return false;
  }
  // Who gave only https servers does not want a push (say from a service
  // behind a TLS proxy that names its own plain address) to take the
  // sign-out, or the next sign-in's password, around the TLS.
  if (!settings.allowPlainPush && AllSecure(servers.GetServers())) {
    GlobalCache::Instance().SetConfigItem(proxyhelper::config::kHttpsOnly, 1);
  }
  // A session's requests go to one server one after the other: keeping the
  // connection saves a TCP (and TLS) handshake on each.
  GlobalCache::Instance().SetConfigItem(proxyhelper::config::kHttpReuse, settings.noReuse ? 0 : 1);
  // Set or cleared every time, so a run without a bundle never inherits one.
  if (settings.caBundle.empty()) {
    GlobalCache::Instance().RemoveConfigItem(proxyhelper::config::kCaBundle);
  } else {
    GlobalCache::Instance().SetConfigItem(proxyhelper::config::kCaBundle, settings.caBundle);
  }

  // Set or cleared every time as well. Without its own bound an operation
  // may take a few attempts' worth of the per-attempt bound.
  SetOrRemove(proxyhelper::config::kHttpTimeoutMs, settings.timeoutMs);
  SetOrRemove(proxyhelper::config::kOperationTimeoutMs, settings.operationTimeoutMs > 0
                                                            ? settings.operationTimeoutMs
                                                            : kOperationAttempts * settings.timeoutMs);

  GlobalCache::Instance().SetClientCfg(settings.agent, settings.clientVersion);
  CMultiLanguage::Instance().SetCurrConfigLanguageTag(settings.lang);
  // An installed program's own directory is rarely writable: the catalogue
  // cache goes to the user's cache directory instead.
  QUILLON::SetExeDirectory(cacheDir);

  paths->cacheDir = cacheDir;
  paths->keysFile = stateDir + "/keys.ini";
  RestoreKeyItems(*paths);
  return true;
}

bool RestoreKeyItems(const HostPaths& paths) {
  KeyItems items;
  if (!LoadKeyItems(paths.keysFile, &items)) return false;
  KeyItemsToCache(items);
  return true;
}

}  // namespace proxycli
