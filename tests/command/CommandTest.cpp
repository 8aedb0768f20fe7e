#include <gtest/gtest.h>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "service/ProxyHelperImpl.h"
#include "transport/HttpCmd.h"

namespace {

TEST(CommandForm, RendersFieldsInByteWiseKeyOrderWithATrailingAmpersand) {
  CHttpCmd command("", 80);
  command.AddParam("username", "bob");
  command.AddParam("agent", "x1");
  command.AddParam("lang", "en");
  command.AddParam("vpnserverid", 12);
  EXPECT_EQ(command.BuildForm(), "agent=x1&lang=en&username=bob&vpnserverid=12&");
}

TEST(CommandForm, EmptySetGivesEmptyForm) {
  CHttpCmd command("", 80);
  EXPECT_EQ(command.BuildForm(), "");
}

TEST(CommandForm, KeysSortByUnsignedBytesAndPrefixFirst) {
  CHttpCmd command("", 80);
  for (const char* key : {"\xC3\xA9t\xC3\xA9", "mid2", "agent", "Zone", "mid", "_x", "9"})
    command.AddParam(key, "");
  EXPECT_EQ(command.BuildForm(), "9=&Zone=&_x=&agent=&mid=&mid2=&\xC3\xA9t\xC3\xA9=&");
}

TEST(CommandForm, LastValueOfARepeatedKeyWinsAndNothingIsEscaped) {
  CHttpCmd command("", 80);
  command.AddParam("k", "first");
  command.AddParam("k", "a&b=c +%20\xFF");
  command.AddParam("lang", "");
  EXPECT_EQ(command.BuildForm(), "k=a&b=c +%20\xFF&lang=&");
}

TEST(CommandForm, IntegersAreSignedDecimal) {
  struct Case {
    int value;
    const char* text;
  } cases[] = {
      {0, "0"}, {-5, "-5"}, {12, "12"}, {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
  for (const Case& c : cases) {
    CHttpCmd command("", 80);
    command.AddParam("n", c.value);
    EXPECT_EQ(command.BuildForm(), std::string("n=") + c.text + "&");
  }
}

TEST(CommandConstruction, TakesTheCurrentServerWithoutAnyIo) {
  {
    CHttpCmd command("/s", 80);
    EXPECT_EQ(command.GetHost(), "");
    EXPECT_EQ(command.GetScript(), "/s");
    EXPECT_EQ(command.GetConnectTimeout(), 500);
  }
  CLoginServers::Instance().Parse("127.0.0.5:8080;127.0.0.6", true);
  CHttpCmd command("", 80);
  EXPECT_EQ(command.GetHost(), "127.0.0.5");
  EXPECT_EQ(command.GetPort(), 8080);
  EXPECT_TRUE(command.GetReply().empty());
  EXPECT_TRUE(command.GetSections().empty());
}

TEST(SessionPreamble, SessionRequestsCarryEmptyValuesBeforeSignIn) {
  GlobalCache::Instance().SetClientCfg("agent/1", "3.4");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("fr-FR");
  ProxyHelperImpl session;
  CHttpCmd command("", 80);
  session.PrepareSessionRequest("logout.php", command);
  EXPECT_EQ(command.GetScript(), "/vpn_intl/logout.php");
  EXPECT_EQ(command.BuildForm(), "agent=agent/1&lang=fr-FR&magic=&username=&");
  EXPECT_EQ(session.Agent(), "agent/1");

  CHttpCmd plain("", 80);
  session.PrepareRequest("getversion.php", plain);
  EXPECT_EQ(plain.GetScript(), "/vpn_intl/getversion.php");
  EXPECT_EQ(plain.BuildForm(), "agent=agent/1&lang=fr-FR&");
}

TEST(SessionPreamble, LanguageIsAskedForEveryRequest) {
  ProxyHelperImpl session;
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en");
  CHttpCmd first("", 80);
  session.PrepareRequest("a.php", first);
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("ja-JP");
  CHttpCmd second("", 80);
  session.PrepareRequest("a.php", second);
  EXPECT_EQ(first.BuildForm(), "agent=&lang=en&");
  EXPECT_EQ(second.BuildForm(), "agent=&lang=ja-JP&");
  EXPECT_EQ(session.Agent(), "");
}

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
