// The facade's single instance and what it does without account servers.
#include <gtest/gtest.h>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"

namespace {

TEST(Facade, InstanceIsOneObjectAndStartsWithAnEmptySession) {
  EXPECT_EQ(&ProxyHelper::Instance(), &ProxyHelper::Instance());
  EXPECT_EQ(ProxyHelper::Instance().GetUserNameA(), "");
  EXPECT_EQ(ProxyHelper::Instance().GetMagic(), "");
}

TEST(Facade, EmptyServerListFailsEveryRemoteOperationWithoutTouchingRecords) {
  CLoginServers::Instance().Clear();
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo error{1, "kept"};
  DialupInfo lease{"u", "p"};
  UserInfo info;
  info.vpnpd = "kept";
  std::vector<ServerOnlineRatio> ratios;
  std::map<std::string, std::vector<ServerInfo>> servers;
  std::string version = "kept";
  EXPECT_EQ(helper.SignIn({"a", "b"}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.SignOut(), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.GetVersion(version), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.Register({}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.Recharge({}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.GetDailupInfo(1, lease, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.ShakeHands({}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.ReleaseDialupInfo(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.GetUserInfo(info), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.GetOnlineRatio(ratios), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper.GetVpnServers(servers), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(error.errcode, 1);
  EXPECT_EQ(error.errdesc, "kept");
  EXPECT_EQ(lease.lendusername, "u");
  EXPECT_EQ(info.vpnpd, "kept");
  EXPECT_EQ(version, "kept");
  EXPECT_TRUE(ratios.empty());
  EXPECT_TRUE(servers.empty());
}

}  // namespace
