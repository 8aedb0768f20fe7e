// proxyhelper: the client library of the VPN account service.
//
// ProxyHelper::Instance() is the whole interface. Every operation blocks for
// its exchange (failover across account servers included) and returns a
// result code: 0 on success, RESULT_TRANSPORT_FAILURE when no account server
// gave a usable reply, RESULT_NOT_SUCCEEDED or the service's own "result"
// value when the service refused. No exception other than std::bad_alloc
// leaves an operation. Records passed in belong to the caller: operations
// assign fields and append entries, never clear.
//
// Any operation may be called from any thread, at the same time as any
// other: each behaves as if the operations ran one after the other in some
// order. The session is read and written under a lock held only while its
// values are copied, never across a network exchange. Each operation walks
// its own snapshot of the account-server list from the server current when
// it starts, trying each server once, so operations of other threads cannot
// make it give up while a server answers; failed attempts move the shared
// position past their server and a reply makes its server current (when
// several operations end at once, the last to finish decides). The library
// starts no thread of its own that outlives an operation. Cancelling
// operations in flight and tracing every attempt:
// facade/ProxyHelperControl.h.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "facade/ProxyHelperExport.h"
#include "hostlib/quillon.h"
#include "protocol/Records.h"  // records and result codes

class ProxyHelperImpl;

class PROXYHELPER_API ProxyHelper {
 public:
  static ProxyHelper& Instance();

  // Account.
  int SignIn(const UserIdentity& identity, VPErrorInfo& error);
  int SignOut();
  int GetVersion(std::string& version);
  int Register(const RegInfo& info, VPErrorInfo& error);
  int Recharge(const RecInfo& info, VPErrorInfo& error);

  // Dial-up lease.
  int GetDailupInfo(int vpnServerId, DialupInfo& lease, VPErrorInfo& error);
  int ReleaseDialupInfo(int outcome);
  int ShakeHands(const LiveInfo& live, VPErrorInfo& error);

  // Account state and pushed configuration.
  int GetUserInfo(UserInfo& info);

  // Servers.
  int GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios);
  int GetVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers);
  int GetLocalVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers);

  // Session values of the last successful SignIn.
  std::string GetUserNameA();
  std::string GetMagic();

  ProxyHelper(const ProxyHelper&) = delete;
  ProxyHelper& operator=(const ProxyHelper&) = delete;

 private:
  ProxyHelper();
  ~ProxyHelper();

  std::unique_ptr<ProxyHelperImpl> impl;
  static ProxyHelper _instance;
};
