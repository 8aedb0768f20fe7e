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
#include "facade/Records.h"  // records and result codes
#include "hostlib/quillon.h"

class ProxyHelperImpl;

class PROXYHELPER_API ProxyHelper {
 public:
  // The one instance; never destroyed before the process ends.
  static ProxyHelper& Instance();

  // "Refused" below: the service's own "result" (also in error.errcode, with
  // "errdesc" in error.errdesc where there is an error record), -1 for a
  // reply without "result", RESULT_NOT_SUCCEEDED for one that reads as 0 but
  // is not the text "0". RESULT_TRANSPORT_FAILURE: no account server gave a
  // usable reply, and nothing was changed.

  // ---- Account ----

  // Sends user name and password (loginin.php). On 0 the session holds the
  // user name, the token ("magic"), the machine id and version sent and the
  // MAC address; a second sign-in replaces them without signing out. On a
  // refusal only `error` is written. Returns 0, refused, or transport.
  int SignIn(const UserIdentity& identity, VPErrorInfo& error);
  // Sends the session's user name and token (logout.php). The library keeps
  // every session value either way; release a lease first. Returns 0,
  // RESULT_NOT_SUCCEEDED for any refusal, or transport.
  int SignOut();
  // Asks for the announced client version (getversion.php, no session).
  // Any parsed reply is 0 and writes "ver" (empty when absent) to `version`;
  // otherwise transport, `version` unchanged.
  int GetVersion(std::string& version);
  // Creates an account (register.php, no session; it does not sign in).
  // `error` is written on a refusal only. Returns 0, refused, or transport.
  int Register(const RegInfo& info, VPErrorInfo& error);
  // Credits a prepaid card to the account the record names (recharge.php,
  // no session needed). `error` is written on a refusal only. Returns 0,
  // refused, or transport.
  int Recharge(const RecInfo& info, VPErrorInfo& error);

  // ---- Dial-up lease ----

  // Leases credentials for a VPN server (getdailupinfo.php, keyed: call
  // GetUserInfo first). On 0 `lease` is filled and the session keeps the
  // lease token, replacing an earlier one without releasing it. On a refusal
  // only `error` is written. Returns 0, refused, or transport.
  int GetDailupInfo(int vpnServerId, DialupInfo& lease, VPErrorInfo& error);
  // Reports `outcome` for the lease and gives it back
  // (releasedialupinfo.php). The token is forgotten before sending unless
  // `outcome` is 9999999, which keeps the lease. Returns 0, refused (without
  // "errdesc"), or transport.
  int ReleaseDialupInfo(int outcome);
  // The lease's heartbeat (verification.php): sends the session, the lease
  // token and `live`; no timer of its own. `error` is written on a refusal
  // only. Returns 0, refused, or transport.
  int ShakeHands(const LiveInfo& live, VPErrorInfo& error);

  // ---- Account state and pushed configuration ----

  // Reads the account (getuserinfo.php). On 0 `info` is filled and what the
  // service pushes is stored in the host library: cipher keys, intervals,
  // account-server list, the ServerConfig record. Returns 0,
  // RESULT_NOT_SUCCEEDED for any refusal, or transport; both change nothing.
  int GetUserInfo(UserInfo& info);

  // ---- Servers ----

  // Appends one record per server of the online ratio (onlineratio.php), in
  // reply order; never clears `ratios`. Returns 0, refused (without
  // "errdesc"; `ratios` unchanged), or transport.
  int GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios);
  // Fetches the catalogue (getserverinfo.php, keyed) and appends it by
  // group; on 0 the raw reply replaces the cache file. Returns 0,
  // RESULT_NOT_SUCCEEDED for any refusal, or transport; the map and the
  // cache file are unchanged then.
  int GetVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers);
  // Rebuilds the catalogue from the cache file with the keys held now, no
  // network, no session; appends as GetVpnServers does. Returns 0, or -1 for
  // every failure (the map unchanged).
  int GetLocalVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers);

  // ---- Session values of the last successful SignIn ----

  // Copies; empty before the first successful sign-in. SignOut and refused
  // sign-ins leave them. The token is a credential: do not log it.
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
