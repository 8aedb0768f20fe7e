// The session's request preambles: the script path and the fields every
// request, or every session request, carries.
#include <gtest/gtest.h>

#include "hostlib/quillon.h"
#include "service/ProxyHelperImpl.h"
#include "support/CommandProbe.h"

namespace {

using testsupport::ProbedCmd;

TEST(SessionPreamble, SessionRequestsCarryEmptyValuesBeforeSignIn) {
  GlobalCache::Instance().SetClientCfg("agent/1", "3.4");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("fr-FR");
  ProxyHelperImpl session;
  ProbedCmd command("", 80);
  session.PrepareSessionRequest("logout.php", command);
  EXPECT_EQ(command.ScriptPath(), "/vpn_intl/logout.php");
  EXPECT_EQ(command.BuildForm(), "agent=agent/1&lang=fr-FR&magic=&username=&");

  // The agent, once known, is kept for the session.
  GlobalCache::Instance().SetClientCfg("agent/2", "3.5");
  ProbedCmd plain("", 80);
  session.PrepareRequest("getversion.php", plain);
  EXPECT_EQ(plain.ScriptPath(), "/vpn_intl/getversion.php");
  EXPECT_EQ(plain.BuildForm(), "agent=agent/1&lang=fr-FR&");
}

TEST(SessionPreamble, LanguageIsAskedForEveryRequest) {
  ProxyHelperImpl session;
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en");
  CHttpCmd first(OperationContext::Begin(), "", 80);
  session.PrepareRequest("a.php", first);
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("ja-JP");
  CHttpCmd second(OperationContext::Begin(), "", 80);
  session.PrepareRequest("a.php", second);
  EXPECT_EQ(first.BuildForm(), "agent=&lang=en&");
  EXPECT_EQ(second.BuildForm(), "agent=&lang=ja-JP&");
  // No configuration, so no agent was kept: the next request looks again.
  GlobalCache::Instance().SetClientCfg("late", "1");
  CHttpCmd third(OperationContext::Begin(), "", 80);
  session.PrepareRequest("a.php", third);
  EXPECT_EQ(third.BuildForm(), "agent=late&lang=ja-JP&");
}

}  // namespace
