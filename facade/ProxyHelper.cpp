#include "facade/ProxyHelper.h"

#include <new>

#include "facade/ProxyHelperControl.h"
#include "service/ProxyHelperImpl.h"
#include "transport/OperationContext.h"

namespace {

// Only std::bad_alloc may leave the library; anything else that escapes an
// operation (a cipher or standard-library failure) ends it as a transport
// failure rather than unwinding into the caller's code.
//
// Every operation gets a context of its own: its deadline, a cancel token
// that CancelAll reaches, and the process's attempt trace. One that ended
// without a reply because it was cancelled says so.
template <typename Operation>
int Guarded(Operation&& operation) {
  const OperationContext context = OperationContext::Begin();
  int result;
  try {
    result = operation(context);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    result = RESULT_TRANSPORT_FAILURE;
  }
  if (result == RESULT_TRANSPORT_FAILURE && context.Cancelled()) return RESULT_CANCELLED;
  return result;
}

}  // namespace

ProxyHelper ProxyHelper::_instance;

ProxyHelper::ProxyHelper() : impl(new ProxyHelperImpl()) {}

ProxyHelper::~ProxyHelper() = default;

ProxyHelper& ProxyHelper::Instance() { return _instance; }

int ProxyHelper::SignIn(const UserIdentity& identity, VPErrorInfo& error) {
  return Guarded([&](const OperationContext& context) { return impl->SignIn(context, identity, error); });
}

int ProxyHelper::SignOut() {
  return Guarded([&](const OperationContext& context) { return impl->SignOut(context); });
}

int ProxyHelper::GetVersion(std::string& version) {
  return Guarded([&](const OperationContext& context) { return impl->GetVersion(context, version); });
}

int ProxyHelper::Register(const RegInfo& info, VPErrorInfo& error) {
  return Guarded([&](const OperationContext& context) { return impl->Register(context, info, error); });
}

int ProxyHelper::Recharge(const RecInfo& info, VPErrorInfo& error) {
  return Guarded([&](const OperationContext& context) { return impl->Recharge(context, info, error); });
}

int ProxyHelper::GetDailupInfo(int vpnServerId, DialupInfo& lease, VPErrorInfo& error) {
  return Guarded([&](const OperationContext& context) {
    return impl->GetDailupInfo(context, vpnServerId, lease, error);
  });
}

int ProxyHelper::ReleaseDialupInfo(int outcome) {
  return Guarded([&](const OperationContext& context) { return impl->ReleaseDialupInfo(context, outcome); });
}

int ProxyHelper::ShakeHands(const LiveInfo& live, VPErrorInfo& error) {
  return Guarded([&](const OperationContext& context) { return impl->ShakeHands(context, live, error); });
}

int ProxyHelper::GetUserInfo(UserInfo& info) {
  return Guarded([&](const OperationContext& context) { return impl->GetUserInfo(context, info); });
}

int ProxyHelper::GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios) {
  return Guarded([&](const OperationContext& context) { return impl->GetOnlineRatio(context, ratios); });
}

int ProxyHelper::GetVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers) {
  return Guarded([&](const OperationContext& context) { return impl->GetVpnServers(context, servers); });
}

int ProxyHelper::GetLocalVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers) {
  return Guarded([&](const OperationContext& context) { return impl->GetLocalVpnServers(context, servers); });
}

std::string ProxyHelper::GetUserNameA() { return impl->GetUserNameA(); }

std::string ProxyHelper::GetMagic() { return impl->GetMagic(); }
