#include "facade/ProxyHelper.h"

#include <new>

#include "facade/ProxyHelperControl.h"
#include "service/ProxyHelperImpl.h"
#include "transport/OperationScope.h"

namespace {

// Only std::bad_alloc may leave the library; anything else that escapes an
// operation (a cipher or standard-library failure) ends it as a transport
// failure rather than unwinding into the caller's code.
//
// Every operation runs in a scope that a cancel can reach; one that ended
// without a reply because it was cancelled says so.
template <typename Operation>
int Guarded(Operation&& operation) {
  OperationScope scope;
  int result;
  try {
    result = operation();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    result = RESULT_TRANSPORT_FAILURE;
  }
  if (result == RESULT_TRANSPORT_FAILURE && scope.Cancelled()) return RESULT_CANCELLED;
  return result;
}

}  // namespace

ProxyHelper ProxyHelper::_instance;

ProxyHelper::ProxyHelper() : impl(new ProxyHelperImpl()) {}

ProxyHelper::~ProxyHelper() = default;

ProxyHelper& ProxyHelper::Instance() { return _instance; }

int ProxyHelper::SignIn(const UserIdentity& identity, VPErrorInfo& error) {
  return Guarded([&] { return impl->SignIn(identity, error); });
}

int ProxyHelper::SignOut() {
  return Guarded([&] { return impl->SignOut(); });
}

int ProxyHelper::GetVersion(std::string& version) {
  return Guarded([&] { return impl->GetVersion(version); });
}

int ProxyHelper::Register(const RegInfo& info, VPErrorInfo& error) {
  return Guarded([&] { return impl->Register(info, error); });
}

int ProxyHelper::Recharge(const RecInfo& info, VPErrorInfo& error) {
  return Guarded([&] { return impl->Recharge(info, error); });
}

int ProxyHelper::GetDailupInfo(int vpnServerId, DialupInfo& lease, VPErrorInfo& error) {
  return Guarded([&] { return impl->GetDailupInfo(vpnServerId, lease, error); });
}

int ProxyHelper::ReleaseDialupInfo(int outcome) {
  return Guarded([&] { return impl->ReleaseDialupInfo(outcome); });
}

int ProxyHelper::ShakeHands(const LiveInfo& live, VPErrorInfo& error) {
  return Guarded([&] { return impl->ShakeHands(live, error); });
}

int ProxyHelper::GetUserInfo(UserInfo& info) {
  return Guarded([&] { return impl->GetUserInfo(info); });
}

int ProxyHelper::GetOnlineRatio(std::vector<ServerOnlineRatio>& ratios) {
  return Guarded([&] { return impl->GetOnlineRatio(ratios); });
}

int ProxyHelper::GetVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers) {
  return Guarded([&] { return impl->GetVpnServers(servers); });
}

int ProxyHelper::GetLocalVpnServers(std::map<std::string, std::vector<ServerInfo>>& servers) {
  return Guarded([&] { return impl->GetLocalVpnServers(servers); });
}

std::string ProxyHelper::GetUserNameA() { return impl->GetUserNameA(); }

std::string ProxyHelper::GetMagic() { return impl->GetMagic(); }
