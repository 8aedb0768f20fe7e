// Account state, and the configuration the service pushes with it.
#include <memory>
#include <mutex>
#include <utility>

#include "hostlib/quillon.h"
#include "service/ProxyHelperImpl.h"
#include "service/ReplyReaders.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"
#include "wire/Vocabulary.h"

namespace {

void FillUserInfo(const ProfileSection& section, const std::string& username, UserInfo& info) {
  info.username = username;
  info.vpnpd = section.GetItem(protocol::kVpnPd);
  info.timeleft = section.GetItem(protocol::kTimeLeft);
  info.userlevel_desc = section.GetItem(protocol::kUserLevelDesc);
  info.userlevel = section.GetItemInt(protocol::kUserLevel);
  info.usermode = section.GetItemInt(protocol::kUserMode);
  info.simuses = section.GetItemInt(protocol::kSimUses);
  info.moneyleft = section.GetItemInt(protocol::kMoneyLeft);
  info.timetip = section.GetItemInt(protocol::kTimeTip);
}

// Returns false when "GC_HTTPS_ONLY" refused the pushed server list.
bool PushConfiguration(const ProfileSection& config) {
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetConfigItem(protocol::kGcHeartbeatSlot, config.GetItemInt(protocol::kHeartbeatSlot));
  cache.SetConfigItem(protocol::kGcOnlineRatioSlot, config.GetItemInt(protocol::kOnlineRatioSlot));
  cache.SetConfigItem(protocol::kGcCipherA, config.GetItem(protocol::kKeyA));
  cache.SetConfigItem(protocol::kGcCipherB, config.GetItem(protocol::kKeyB));
  cache.SetConfigItem(protocol::kGcCipherC, config.GetItem(protocol::kKeyC));
  CLoginServers& list = CLoginServers::Instance();
  const std::string defaultServer = config.GetItem(protocol::kDefaultLoginServer);
  const std::string servers = config.GetItem(protocol::kLoginServer);
  // A service behind a TLS proxy may push its own plain address. Its https
  // entries alone would make a list neither side chose: the client keeps
  // its own list and default, and the application can tell the user why.
  if (!servers.empty() && HttpsOnly() && !list.AllSecure(servers)) {
    cache.SetConfigItem(protocol::kGcRefusedLoginServer, servers);
    return false;
  }
  // A plain default alone is refused by the list itself.
  if (!defaultServer.empty()) list.SetDefaultServer(defaultServer, false);
  if (!servers.empty()) list.Parse(servers, true);
  return true;
}

void FillServerConfig(const CProfileFile::SectionList& sections, ServerConfig& serverConfig) {
  const auto levels = FindSection(sections, protocol::kServerLevelSection);
  if (levels != sections.end()) {
    for (const ProfileItem& item : *levels) {
      // Levels usually come in ascending order, where the hint makes each
      // insert constant time; a later item of the same level wins.
      const int level = QUILLON::DecimalToInt(item.key);  // as atoi reads it, clamped
      auto at = serverConfig.serverlevel.lower_bound(level);
      if (at != serverConfig.serverlevel.end() && at->first == level) {
        at->second = item.value;
      } else {
        serverConfig.serverlevel.emplace_hint(at, level, item.value);
      }
    }
  }
  const auto warning = FindSection(sections, protocol::kWarningSection);
  if (warning != sections.end()) {
    serverConfig.tip = warning->GetItemInt(protocol::kTip);
    serverConfig.message = warning->GetItem(protocol::kMessage);
    serverConfig.url = warning->GetItem(protocol::kUrl);
  }
}

bool SameServerConfig(const ServerConfig& a, const ServerConfig& b) {
  return a.tip == b.tip && a.message == b.message && a.url == b.url && a.serverlevel == b.serverlevel;
}

// The record is handed to the application through the cache and never freed
// (the application may still hold an earlier one). So that a client polling
// its account does not retire a record per call, an unchanged configuration
// keeps the record stored last. Only a record this library stored itself is
// compared: whatever else may sit under the item is not ours to read.
void StoreServerConfig(std::unique_ptr<ServerConfig> fresh) {
  static std::mutex mutex;
  static ServerConfig* storedByUs = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  GlobalCache& cache = GlobalCache::Instance();
  if (storedByUs != nullptr && cache.GetValue(protocol::kGcpCurServerConfig) == storedByUs &&
      SameServerConfig(*storedByUs, *fresh)) {
    return;
  }
  storedByUs = fresh.release();
  cache.SetValue(protocol::kGcpCurServerConfig, storedByUs);
}

}  // namespace

void ApplyUserInfoReply(const CProfileFile::SectionList& sections, const std::string& username,
                        UserInfo& info) {
  const auto userSection = FindSection(sections, protocol::kUserInfoSection);
  if (userSection != sections.end()) FillUserInfo(*userSection, username, info);

  auto serverConfig = std::make_unique<ServerConfig>();
  FillServerConfig(sections, *serverConfig);
  StoreServerConfig(std::move(serverConfig));

  const auto config = FindSection(sections, protocol::kConfigSection);
  const bool pushed = config == sections.end() || PushConfiguration(*config);
  // The item speaks of the last accepted reply only.
  if (pushed) GlobalCache::Instance().RemoveConfigItem(protocol::kGcRefusedLoginServer);
}

int ProxyHelperImpl::GetUserInfo(const OperationContext& context, UserInfo& info) {
  CHttpCmd command(context, "", 80);
  // The account the request names is the one the record describes.
  const Session values = Snapshot();
  PrepareSessionRequest(protocol::kUserInfoScript, values, command);
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return RESULT_NOT_SUCCEEDED;
  ApplyUserInfoReply(command.GetSections(), values.username, info);
  return 0;
}
