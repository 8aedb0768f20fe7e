#include "tools/cli/HostSetup.h"

#include "hostlib/quillon.h"
#include "tools/cli/KeyStore.h"
#include "tools/cli/XdgPaths.h"

namespace proxycli {

bool PrepareHost(const Settings& settings, HostPaths* paths, std::string* error) {
  const std::string cacheDir = settings.cacheDir.empty() ? DefaultCacheDirectory() : settings.cacheDir;
  const std::string stateDir = settings.stateDir.empty() ? DefaultStateDirectory() : settings.stateDir;
  std::string why;
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
  if (servers.Parse(settings.servers, true) == 0) {
    *error = "no usable account server in \"" + settings.servers +
             "\" (expected [https://]host[:port] entries separated by \";\", \",\" or spaces)";
    return false;
  }
  // Set or cleared every time, so a run without a bundle never inherits one.
  if (settings.caBundle.empty()) {
    GlobalCache::Instance().RemoveConfigItem("GC_CA_BUNDLE");
  } else {
    GlobalCache::Instance().SetConfigItem("GC_CA_BUNDLE", settings.caBundle);
  }

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
