// The dial-up lease: obtain, confirm and release lent credentials.
#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"

namespace {
// Reports the outcome but keeps the lease.
constexpr int kReportOnlyOutcome = 9999999;
}  // namespace

int ProxyHelperImpl::GetDailupInfo(int vpnServerId, DialupInfo& lease, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("getdailupinfo.php", command);
  command.AddParam("vpnserverid", vpnServerId);
  command.AddParam("mac", mac);
  if (command.Execute(1) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return FillRefusal(command, error);

  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  const bool found = envelope != sections.end();
  lease.lendusername = found ? envelope->GetItem("lendusername") : std::string();
  lease.lendpassword = found ? envelope->GetItem("lendpassword") : std::string();
  dailsession = found ? envelope->GetItem("dailsession") : std::string();
  return 0;
}

int ProxyHelperImpl::ReleaseDialupInfo(int outcome) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("releasedialupinfo.php", command);
  command.AddParam("result", outcome);
  command.AddParam("dailsession", dailsession);
  // The lease is given up before anything is sent, so it is gone even when
  // the service cannot be reached.
  if (outcome != kReportOnlyOutcome) dailsession.clear();
  if (command.Execute(0) != 0) return RESULT_TRANSPORT_FAILURE;
  if (command.IsSucceeded()) return 0;
  return RefusalCode(command.GetResult());
}

int ProxyHelperImpl::ShakeHands(const LiveInfo& live, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  PrepareSessionRequest("verification.php", command);
  command.AddParam("mid", mid);
  command.AddParam("lendusername", live.lendusername);
  command.AddParam("vpnserverid", live.vpnserverid);
  command.AddParam("dailsession", dailsession);
  return ExecuteForVerdict(command, 0, error);
}
