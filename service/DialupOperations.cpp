// The dial-up lease: obtain, confirm and release lent credentials.
#include <mutex>
#include <string>
#include <utility>

#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"
#include "wire/Vocabulary.h"

int ProxyHelperImpl::GetDailupInfo(const OperationContext& context, int vpnServerId, DialupInfo& lease,
                                   VPErrorInfo& error) {
  CHttpCmd command(context, "", 80);
  const Session values = Snapshot();
  PrepareSessionRequest(protocol::kLeaseScript, values, command);
  command.AddParam(protocol::kServerId, vpnServerId);
  command.AddParam(protocol::kMac, values.mac);
  if (command.Execute(1) != 0) return RESULT_TRANSPORT_FAILURE;
  if (!command.IsSucceeded()) return FillRefusal(command, error);

  const auto& sections = command.GetSections();
  const auto envelope = FindSection(sections, "");
  const bool found = envelope != sections.end();
  lease.lendusername = found ? envelope->GetItem(protocol::kLendUserName) : std::string();
  lease.lendpassword = found ? envelope->GetItem(protocol::kLendPassword) : std::string();
  std::string token = found ? envelope->GetItem(protocol::kLeaseToken) : std::string();
  std::lock_guard<std::mutex> lock(mutex);
  session.dailsession = std::move(token);
  return 0;
}

int ProxyHelperImpl::ReleaseDialupInfo(const OperationContext& context, int outcome) {
  CHttpCmd command(context, "", 80);
  Session values;
  {
    // Read and given up in one step, so two releases cannot both send it.
    std::lock_guard<std::mutex> lock(mutex);
    values = session;
    // The lease is given up before anything is sent, so it is gone even
    // when the service cannot be reached.
    if (outcome != protocol::kKeepLeaseOutcome) session.dailsession.clear();
  }
  PrepareSessionRequest(protocol::kReleaseScript, values, command);
  command.AddParam(protocol::kOutcome, outcome);
  command.AddParam(protocol::kLeaseToken, values.dailsession);
  if (command.Execute(0) != 0) {
    // A release the application cancelled leaves the lease as it was, so
    // that it can still be released; unless a new lease took its place.
    if (context.Cancelled() && outcome != protocol::kKeepLeaseOutcome) {
      std::lock_guard<std::mutex> lock(mutex);
      if (session.dailsession.empty()) session.dailsession = values.dailsession;
    }
    return RESULT_TRANSPORT_FAILURE;
  }
  if (command.IsSucceeded()) return 0;
  return RefusalCode(command.GetResult());
}

int ProxyHelperImpl::ShakeHands(const OperationContext& context, const LiveInfo& live, VPErrorInfo& error) {
  CHttpCmd command(context, "", 80);
  const Session values = Snapshot();
  PrepareSessionRequest(protocol::kHandshakeScript, values, command);
  command.AddParam(protocol::kMachineId, values.mid);
  command.AddParam(protocol::kLendUserName, live.lendusername);
  command.AddParam(protocol::kServerId, live.vpnserverid);
  command.AddParam(protocol::kLeaseToken, values.dailsession);
  return ExecuteForVerdict(command, 0, error);
}
