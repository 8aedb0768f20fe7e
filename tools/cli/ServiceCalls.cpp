#include "tools/cli/ServiceCalls.h"

#include <memory>
#include <utility>

#include "hostlib/quillon.h"
#include "tools/cli/KeyStore.h"
#include "tools/cli/LastAttempt.h"

namespace proxycli {

namespace {

const char kServerConfigKey[] = "GCP_CUR_SERVERCONFIG";

// The newest pushed record; the one it replaces is freed here. The cache keeps
// only the newest address, so nothing refers to a freed record.
std::unique_ptr<ServerConfig>& AdoptedServerConfig() {
  static std::unique_ptr<ServerConfig> record;
  return record;
}

}  // namespace

void AdoptPushedServerConfig() {
  auto* pushed = static_cast<ServerConfig*>(GlobalCache::Instance().GetValue(kServerConfigKey));
  std::unique_ptr<ServerConfig>& owned = AdoptedServerConfig();
  if (pushed != nullptr && pushed != owned.get()) owned.reset(pushed);
}

const ServerConfig* CurrentServerConfig() {
  return static_cast<const ServerConfig*>(GlobalCache::Instance().GetValue(kServerConfigKey));
}

ServiceCalls::ServiceCalls(Report& report, HostPaths paths)
    : report_(report), paths_(std::move(paths)), helper_(ProxyHelper::Instance()) {
  RecordAttempts();
}

bool ServiceCalls::Check(const char* operation, int result, const std::string& errdesc) {
  if (result == 0) return true;
  // No service text to show: the last attempt says where and why instead.
  if (result == RESULT_TRANSPORT_FAILURE) {
    const std::string last = DescribeLastAttempt();
    report_.Failure(operation, result, last.empty() ? errdesc : "last attempt " + last);
    return false;
  }
  report_.Failure(operation, result, errdesc);
  return false;
}

bool ServiceCalls::GetVersion(std::string& version) {
  return Check("GetVersion", helper_.GetVersion(version));
}

bool ServiceCalls::SignIn(const UserIdentity& identity) {
  VPErrorInfo error;
  const int result = helper_.SignIn(identity, error);
  return Check("SignIn", result, error.errdesc);
}

bool ServiceCalls::SignOut() { return Check("SignOut", helper_.SignOut()); }

bool ServiceCalls::Register(const RegInfo& info) {
  VPErrorInfo error;
  const int result = helper_.Register(info, error);
  return Check("Register", result, error.errdesc);
}

bool ServiceCalls::Recharge(const RecInfo& info) {
  VPErrorInfo error;
  const int result = helper_.Recharge(info, error);
  return Check("Recharge", result, error.errdesc);
}

bool ServiceCalls::GetUserInfo(UserInfo& info) {
  if (!Check("GetUserInfo", helper_.GetUserInfo(info))) return false;
  AdoptPushedServerConfig();
  const KeyItems keys = KeyItemsFromCache();
  std::string error;
  if (!paths_.keysFile.empty() && !SaveKeyItems(paths_.keysFile, keys, &error)) {
    report_.Warning("cannot keep the cipher keys (servers --local will not work later): " + error);
  }
  return true;
}

bool ServiceCalls::GetDailupInfo(int serverId, DialupInfo& lease) {
  VPErrorInfo error;
  const int result = helper_.GetDailupInfo(serverId, lease, error);
  return Check("GetDailupInfo", result, error.errdesc);
}

int ServiceCalls::ShakeHands(const LiveInfo& live, VPErrorInfo& error) {
  return helper_.ShakeHands(live, error);
}

bool ServiceCalls::ReleaseDialupInfo(int outcome) {
  return Check("ReleaseDialupInfo", helper_.ReleaseDialupInfo(outcome));
}

bool ServiceCalls::GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios) {
  return Check("GetOnlineRatio", helper_.GetOnlineRatio(ratios));
}

bool ServiceCalls::GetVpnServers(ServerCatalogue& catalogue) {
  return Check("GetVpnServers", helper_.GetVpnServers(catalogue));
}

bool ServiceCalls::GetLocalVpnServers(ServerCatalogue& catalogue) {
  const int result = helper_.GetLocalVpnServers(catalogue);
  if (result == 0) return true;
  report_.Failure("GetLocalVpnServers", result, "no usable cache",
                  "no usable catalogue cache in " + paths_.cacheDir +
                      ": fetch it once with 'proxyhelper servers' (the cache is read with the cipher keys "
                      "kept in " +
                      paths_.keysFile + ")");
  return false;
}

}  // namespace proxycli
