// The dial-up lease: obtain, confirm and release lent credentials.
#include <mutex>
#include <string>
#include <utility>

#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"
#include "transport/OperationScope.h"

namespace {
// Reports the outcome but keeps the lease.
constexpr int kReportOnlyOutcome = 9999999;
}  // namespace

int ProxyHelperImpl::GetDailupInfo(int vpnServerId, DialupInfo& lease, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  const Session values = Snapshot();
  PrepareSessionRequest("getdailupinfo.php", values, command);
  command.AddParam("vpnserverid", vpnServerId);
  command.AddParam("mac", values.mac);
  if (command.Execute(1) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return FillRefusal(command, error);

  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  const bool found = envelope != sections.end();
  lease.lendusername = found ? envelope->GetItem("lendusername") : std::string();
  lease.lendpassword = found ? envelope->GetItem("lendpassword") : std::string();
  std::string token = found ? envelope->GetItem("dailsession") : std::string();
  std::lock_guard<std::mutex> lock(mutex);
  session.dailsession = std::move(token);
  return 0;
}

int ProxyHelperImpl::ReleaseDialupInfo(int outcome) {
  CHttpCmd command("", 80);
  Session values;
  {
    // Read and given up in one step, so two releases cannot both send it.
    std::lock_guard<std::mutex> lock(mutex);
    values = session;
    // The lease is given up before anything is sent, so it is gone even
    // when the service cannot be reached.
    if (outcome != kReportOnlyOutcome) session.dailsession.clear();
  }
  PrepareSessionRequest("releasedialupinfo.php", values, command);
  command.AddParam("result", outcome);
  command.AddParam("dailsession", values.dailsession);
  if (command.Execute(0) != 0) {
    // A release the application cancelled leaves the lease as it was, so
    // that it can still be released; unless a new lease took its place.
    const OperationScope* operation = OperationScope::Current();
    if (operation != nullptr && operation->Cancelled() && outcome != kReportOnlyOutcome) {
      std::lock_guard<std::mutex> lock(mutex);
      if (session.dailsession.empty()) session.dailsession = values.dailsession;
    }
    return RESULT_TRANSPORT_FAILURE;
  }
  if (command.IsSucceeded()) return 0;
  return RefusalCode(command.GetResult());
}

int ProxyHelperImpl::ShakeHands(const LiveInfo& live, VPErrorInfo& error) {
  CHttpCmd command("", 80);
  const Session values = Snapshot();
  PrepareSessionRequest("verification.php", values, command);
  command.AddParam("mid", values.mid);
  command.AddParam("lendusername", live.lendusername);
  command.AddParam("vpnserverid", live.vpnserverid);
  command.AddParam("dailsession", values.dailsession);
  return ExecuteForVerdict(command, 0, error);
}
