// Sign-in, sign-out, version, registration and recharge.
#include <mutex>
#include <utility>

#include "hostlib/quillon.h"
#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"
#include "wire/Vocabulary.h"

namespace {

std::string ClientVersion() {
  CClientCfg* config = GlobalCache::Instance().GetClientCfg();
  return config != nullptr ? config->GetVersion() : std::string();
}

}  // namespace

int ProxyHelperImpl::SignIn(const OperationContext& context, const UserIdentity& identity,
                            VPErrorInfo& error) {
  CHttpCmd command(context, "", 80);
  PrepareRequest(protocol::kSignInScript, command);
  command.AddParam(protocol::kUserName, identity.username);
  command.AddParam(protocol::kPassword, identity.password);
  const std::string machineId = QUILLON::GetMachineId();
  const std::string version = ClientVersion();
  command.AddParam(protocol::kMachineId, machineId);
  command.AddParam(protocol::kVersion, version);

  const int sent = command.Execute(0);
  if (sent != 0) return sent;
  if (!command.IsSucceeded()) return FillRefusal(command, error);

  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  std::string newMagic = envelope != sections.end() ? envelope->GetItem(protocol::kMagic) : std::string();
  std::string newMac = QUILLON::GetDftMac();
  // The new session replaces the old one whole, never in part.
  std::lock_guard<std::mutex> lock(mutex);
  session.magic = std::move(newMagic);
  session.username = identity.username;
  session.mid = machineId;
  session.ver = version;
  session.mac = std::move(newMac);
  return 0;
}

int ProxyHelperImpl::SignOut(const OperationContext& context) {
  CHttpCmd command(context, "", 80);
  PrepareSessionRequest(protocol::kSignOutScript, command);
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  return command.IsSucceeded() ? 0 : RESULT_NOT_SUCCEEDED;
}

int ProxyHelperImpl::GetVersion(const OperationContext& context, std::string& version) {
  CHttpCmd command(context, "", 80);
  PrepareRequest(protocol::kVersionScript, command);
  const int sent = command.Execute(0);
  if (sent != 0) return sent;
  // The announced version is read whatever the verdict says.
  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  if (envelope != sections.end()) version = envelope->GetItem(protocol::kVersion);
  return 0;
}

int ProxyHelperImpl::Register(const OperationContext& context, const RegInfo& info, VPErrorInfo& error) {
  CHttpCmd command(context, "", 80);
  PrepareRequest(protocol::kRegisterScript, command);
  command.AddParam(protocol::kUserName, info.username);
  command.AddParam(protocol::kPassword, info.password);
  command.AddParam(protocol::kPhone, info.phone);
  command.AddParam(protocol::kQq, info.qq);
  command.AddParam(protocol::kEmail, info.email);
  command.AddParam(protocol::kMemo, info.memo);
  return ExecuteForVerdict(command, 0, error);
}

int ProxyHelperImpl::Recharge(const OperationContext& context, const RecInfo& info, VPErrorInfo& error) {
  CHttpCmd command(context, "", 80);
  PrepareRequest(protocol::kRechargeScript, command);
  command.AddParam(protocol::kUserName, info.username);
  command.AddParam(protocol::kPassword, info.password);
  command.AddParam(protocol::kCardNo, info.cardno);
  command.AddParam(protocol::kCardPassword, info.cardpw);
  return ExecuteForVerdict(command, 0, error);
}
