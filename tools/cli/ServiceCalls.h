// The facade's operations as the tool calls them: each reports its own
// failure (code in hex, name, the service's text) and answers whether it
// succeeded. GetUserInfo also keeps the pushed cipher keys on disk. Each
// runs under an AttemptWatch (-v lines, the wait line on a terminal). Values
// the user typed that the service's form cannot carry ('&', '=') are
// refused as a usage error before anything is sent.
#pragma once

#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/Report.h"

namespace proxycli {

class ServiceCalls {
 public:
  ServiceCalls(Report& report, HostPaths paths);

  bool GetVersion(std::string& version);
  bool SignIn(const UserIdentity& identity);
  bool SignOut();
  bool Register(const RegInfo& info);
  bool Recharge(const RecInfo& info);
  // On success the pushed key items are written to the keys file (a write
  // failure is a warning) and the pushed ServerConfig is available through
  // CurrentServerConfig().
  bool GetUserInfo(UserInfo& info);
  // GetUserInfo, and the account and pushed configuration into the report.
  bool ShowAccount();
  bool GetDailupInfo(int serverId, DialupInfo& lease);
  // Not reported: the caller decides whether a failed handshake matters.
  int ShakeHands(const LiveInfo& live, VPErrorInfo& error);
  bool ReleaseDialupInfo(int outcome);
  bool GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios);
  // Also warns when the catalogue cache file was not replaced.
  bool GetVpnServers(ServerCatalogue& catalogue);
  // No network: the catalogue of the last accepted remote reply.
  bool GetLocalVpnServers(ServerCatalogue& catalogue);

  const HostPaths& paths() const { return paths_; }

 private:
  bool Check(const char* operation, int result, const std::string& errdesc = std::string());
  // False, reported as a usage error, when `value` holds '&' or '='.
  bool FormSafe(const char* what, const std::string& value);

  Report& report_;
  HostPaths paths_;
  ProxyHelper& helper_;
};

// The ServerConfig that the last accepted GetUserInfo pushed, or null.
const ServerConfig* CurrentServerConfig();

// The library never frees the ServerConfig records it pushes: after each
// accepted GetUserInfo the tool takes the newest one over and frees the one
// it replaced (the cache only ever refers to the newest).
void AdoptPushedServerConfig();

}  // namespace proxycli
