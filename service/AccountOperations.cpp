// Sign-in, sign-out, version, registration and recharge.
#include <mutex>
#include <utility>

#include "hostlib/quillon.h"
#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"

namespace {

std::string ClientVersion() {
  CClientCfg* config = GlobalCache::Instance().GetClientCfg();
  return config != nullptr ? config->GetVersion() : std::string();
}

}  // namespace

int ProxyHelperImpl::SignIn(const UserIdentity& identity, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  PrepareRequest("loginin.php", command);
  command.AddParam("username", identity.username);
  command.AddParam("password", identity.password);
  const std::string machineId = QUILLON::GetMachineId();
  const std::string version = ClientVersion();
  command.AddParam("mid", machineId);
  command.AddParam("ver", version);

  const int sent = command.Execute(0);
  if (sent != 0) return sent;
  if (!command.IsSucceeded()) return FillRefusal(command, error);

  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  std::string newMagic = envelope != sections.end() ? envelope->GetItem("magic") : std::string();
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

int ProxyHelperImpl::SignOut() {
  CHttpCmd command("", 80);
  PrepareSessionRequest("logout.php", command);
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  return command.IsSucceeded() ? 0 : RESULT_NOT_SUCCEEDED;
}

int ProxyHelperImpl::GetVersion(std::string& version) {
  CHttpCmd command("", 80);
  PrepareRequest("getversion.php", command);
  const int sent = command.Execute(0);
  if (sent != 0) return sent;
  // The announced version is read whatever the verdict says.
  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  if (envelope != sections.end()) version = envelope->GetItem("ver");
  return 0;
}

int ProxyHelperImpl::Register(const RegInfo& info, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  PrepareRequest("register.php", command);
  command.AddParam("username", info.username);
  command.AddParam("password", info.password);
  command.AddParam("phone", info.phone);
  command.AddParam("qq", info.qq);
  command.AddParam("email", info.email);
  command.AddParam("memo", info.memo);
  return ExecuteForVerdict(command, 0, error);
}

int ProxyHelperImpl::Recharge(const RecInfo& info, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  PrepareRequest("recharge.php", command);
  command.AddParam("username", info.username);
  command.AddParam("password", info.password);
  command.AddParam("cardno", info.cardno);
  command.AddParam("cardpw", info.cardpw);
  return ExecuteForVerdict(command, 0, error);
}
