// The facade's operations as the tool calls them: each reports its own
// failure (code in hex, name, the service's text) and answers whether it
// succeeded. GetUserInfo also keeps the pushed cipher keys on disk. Each
// runs under an AttemptWatch (-v lines, the wait line on a terminal). Values
// the user typed that the service's form cannot carry ('&', '=') are
// refused as a usage error before anything is sent.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/LastAttempt.h"
#include "tools/cli/Report.h"

namespace proxycli {

class ServiceCalls {
 public:
  ServiceCalls(Report& report, HostPaths paths);

  bool GetVersion(std::string& version);
  bool SignIn(const UserIdentity& identity);
  bool SignOut();
  // The sign-out that ends a command's own session: a failure there is a
  // warning (the service ends the session when it expires), not a failure
  // of the command, whose results were already shown.
  void EndSession();
  bool Register(const RegInfo& info);
  bool Recharge(const RecInfo& info);
  // On success the pushed key items are written to the keys file (a write
  // failure is a warning) and the pushed ServerConfig is available through
  // CurrentServerConfig(). A pushed account-server list that replaced the
  // one in use, or that GC_HTTPS_ONLY made the library ignore, is told in a
  // note on stderr (not with --quiet) and in the report's
  // "server_list_replaced" or "server_list_refused".
  bool GetUserInfo(UserInfo& info);
  // GetUserInfo, and the account and pushed configuration into the report.
  bool ShowAccount();
  bool GetDailupInfo(int serverId, DialupInfo& lease);
  // Not reported: the caller decides whether a failed handshake matters.
  int ShakeHands(const LiveInfo& live, VPErrorInfo& error);
  bool ReleaseDialupInfo(int outcome);
  bool GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios);
  // GetOnlineRatio, and the ratios into the report.
  bool ShowOnlineRatio();
  // Also warns when the catalogue cache file was not replaced.
  bool GetVpnServers(ServerCatalogue& catalogue);
  // No network: the catalogue of the last accepted remote reply.
  bool GetLocalVpnServers(ServerCatalogue& catalogue);

  const HostPaths& paths() const { return paths_; }
  // The list the service last installed through GetUserInfo, in --servers
  // syntax ("https://h:443;h:8080"); empty while no push replaced the list.
  const std::string& replacedServerList() const { return replacedServerList_; }
  // The pushed list GC_HTTPS_ONLY last made the library ignore; empty while
  // none was.
  const std::string& refusedServerList() const { return refusedServerList_; }

 private:
  bool Check(const char* operation, int result, const std::string& errdesc = std::string());
  // False, reported as a usage error, when a value holds '&' or '='.
  bool FormSafe(std::initializer_list<std::pair<const char*, const std::string&>> fields);
  // The library call `call` with the wait line shown, ended before the
  // result is reported.
  template <typename Call>
  int Watched(Call call) {
    AttemptWatch watch(report_.console());
    return call();
  }

  // After an accepted GetUserInfo: whether its push changed the server list.
  void NoteServerListPush(const std::string& before);

  Report& report_;
  HostPaths paths_;
  ProxyHelper& helper_;
  std::string replacedServerList_;
  std::string refusedServerList_;
};

// The account-server list in --servers syntax: "https://" for TLS entries,
// IPv6 hosts in brackets, every port given, entries joined by ';'.
std::string ServerListText(const std::vector<CLoginServers::Server>& servers);

// The ServerConfig that the last accepted GetUserInfo pushed, or null.
const ServerConfig* CurrentServerConfig();

// The library never frees the ServerConfig records it pushes: after each
// accepted GetUserInfo the tool takes the newest one over and frees the one
// it replaced (the cache only ever refers to the newest).
void AdoptPushedServerConfig();

}  // namespace proxycli
