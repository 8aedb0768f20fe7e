// The session object behind the facade: the values that sign-in and the
// dial-up lease hand out, the two request preambles, and one member per
// service operation.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "facade/Records.h"
#include "hostlib/quillon.h"

class CHttpCmd;
class OperationContext;

// Every operation takes the context of the call (deadline, cancel, trace)
// and hands it to the commands it runs.
class ProxyHelperImpl {
 public:
  ProxyHelperImpl() = default;

  // Account operations.
  int SignIn(const OperationContext& context, const UserIdentity& identity, VPErrorInfo& error);
  int SignOut(const OperationContext& context);
  int GetVersion(const OperationContext& context, std::string& version);
  int Register(const OperationContext& context, const RegInfo& info, VPErrorInfo& error);
  int Recharge(const OperationContext& context, const RecInfo& info, VPErrorInfo& error);

  // Dial-up lease operations.
  int GetDailupInfo(const OperationContext& context, int vpnServerId, DialupInfo& lease, VPErrorInfo& error);
  int ReleaseDialupInfo(const OperationContext& context, int outcome);
  int ShakeHands(const OperationContext& context, const LiveInfo& live, VPErrorInfo& error);

  // User info and pushed configuration.
  int GetUserInfo(const OperationContext& context, UserInfo& info);

  // Online ratio and catalogue.
  int GetOnlineRatio(const OperationContext& context, std::vector<ServerOnlineRatio>& ratios);
  int GetVpnServers(const OperationContext& context, std::map<std::string, std::vector<ServerInfo>>& servers);
  int GetLocalVpnServers(const OperationContext& context,
                         std::map<std::string, std::vector<ServerInfo>>& servers);

  std::string GetUserNameA() const;
  std::string GetMagic() const;

  // Sets the path "/vpn_intl/" + scriptName and adds "agent" and "lang".
  void PrepareRequest(const std::string& scriptName, CHttpCmd& command);
  // PrepareRequest, then the session's "username" and "magic".
  void PrepareSessionRequest(const std::string& scriptName, CHttpCmd& command);

 private:
  // The session's values. Operations may run in several threads at once:
  // each reads a copy taken under the lock and writes under it, and the lock
  // is never held across a network exchange.
  struct Session {
    std::string agent;
    std::string username;
    std::string magic;
    std::string mid;
    std::string ver;
    std::string mac;
    std::string dailsession;
  };

  Session Snapshot() const;
  // The agent text the session sends; empty until a client configuration
  // was found.
  std::string Agent() const;
  // PrepareSessionRequest with the values of `session`.
  void PrepareSessionRequest(const std::string& scriptName, const Session& session, CHttpCmd& command);

  mutable std::mutex mutex;
  Session session;
};

// The text of a refused reply's "result" may read as 0 without being the
// text "0" ("00", "+0"); such a refusal must never look like success.
int RefusalCode(int serviceResult);

// The refusal step of the operations that carry an error record: errcode
// from "result", errdesc from "errdesc"; returns errcode.
int FillRefusal(const CHttpCmd& command, VPErrorInfo& error);

// Executes the command and reports the verdict of operations that read
// nothing from a successful reply: the transport result, the refusal step,
// or 0.
int ExecuteForVerdict(CHttpCmd& command, int useKeyedCipher, VPErrorInfo& error);
