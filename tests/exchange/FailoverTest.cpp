// Execute's failover cycle through the account-server list.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "exchange/ExchangeTestUtil.h"
#include "facade/ProxyHelper.h"
#include "protection/KeyLetters.h"
#include "support/ScriptedServer.h"
#include "transport/HttpCmd.h"

namespace {

using namespace exchangetest;
using testsupport::Script;
using testsupport::ScriptedServer;

const char kScript[] = "/vpn_intl/getversion.php";

TEST(Failover, OnlyTheThirdOfThreeServersAnswers) {
  ScriptedServer good("127.0.0.3", Script::Respond(200, OkReply("ver=1.2.3\n")));
  ASSERT_TRUE(good.Start());
  const std::string closed1 = ClosedServer("127.0.0.1");
  const std::string closed2 = ClosedServer("127.0.0.2");
  UseServers({closed1, closed2, good.HostPort()});
  AttemptLog log;

  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(log.ConnectTimeouts(), (std::vector<int>{500, 1000, 1500}));
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{UrlOf(closed1, kScript), UrlOf(closed2, kScript),
                                                  UrlOf(good, kScript)}));
  EXPECT_EQ(cmd.GetHost(), "127.0.0.3");
  EXPECT_EQ(cmd.GetPort(), good.port());
  EXPECT_EQ(cmd.GetConnectTimeout(), 1500);
  EXPECT_TRUE(cmd.IsSucceeded());
  EXPECT_EQ(good.Requests().size(), 1u);

  // The server that answered stays current for the next command.
  CHttpCmd next("", 80);
  EXPECT_EQ(next.GetHost(), "127.0.0.3");
  EXPECT_EQ(next.GetPort(), good.port());
}

TEST(Failover, SingleFailingServerIsTriedOnceWithoutRaisingTheTimeout) {
  const std::string closed = ClosedServer("127.0.0.1");
  UseServers({closed});
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.ConnectTimeouts(), (std::vector<int>{500}));
  EXPECT_EQ(cmd.GetConnectTimeout(), 500);
  EXPECT_EQ(cmd.GetHost() + ":" + std::to_string(cmd.GetPort()), closed);
}

TEST(Failover, FailedCycleEndsBackAtTheStartingServer) {
  const std::vector<std::string> servers = {ClosedServer("127.0.0.1"), ClosedServer("127.0.0.2"),
                                            ClosedServer("127.0.0.3")};
  UseServers(servers);
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(1), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.ConnectTimeouts(), (std::vector<int>{500, 1000, 1500}));
  EXPECT_EQ(cmd.GetHost() + ":" + std::to_string(cmd.GetPort()), servers[0]);
  CHttpCmd next("", 80);
  EXPECT_EQ(next.GetHost() + ":" + std::to_string(next.GetPort()), servers[0]);
}

TEST(Failover, ConnectTimeoutRisesBy500UpTo2500) {
  std::vector<std::string> servers;
  for (int i = 1; i <= 7; ++i) servers.push_back(ClosedServer("127.0.0." + std::to_string(i)));
  UseServers(servers);
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.ConnectTimeouts(), (std::vector<int>{500, 1000, 1500, 2000, 2500, 2500, 2500}));
  // Only moving on raises it: the last failure ended the cycle instead.
  EXPECT_EQ(cmd.GetConnectTimeout(), 2500);
}

TEST(Failover, FirstAttemptUsesTheServerCurrentAtConstruction) {
  ScriptedServer good("127.0.0.3", Script::Respond(200, OkReply()));
  ASSERT_TRUE(good.Start());
  const std::string first = ClosedServer("127.0.0.1");
  const std::string second = ClosedServer("127.0.0.2");
  UseServers({first, second, good.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  // Another command moves the shared position on before this one executes.
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetNextServer(host, port);
  AttemptLog log;
  EXPECT_EQ(cmd.Execute(0), 0);
  // The first attempt keeps its own server; moving on follows the shared
  // position, which skips the server the other command had moved to.
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{UrlOf(first, kScript), UrlOf(good, kScript)}));
}

TEST(Failover, EntriesSharingAHostAreEachTried) {
  ScriptedServer good("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(good.Start());
  const std::string closed = ClosedServer("127.0.0.1");
  UseServers({closed, good.HostPort()});
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{UrlOf(closed, kScript), UrlOf(good, kScript)}));
  EXPECT_EQ(good.Requests().size(), 1u);
}

TEST(Failover, EmptyServerListFailsWithoutTouchingTheNetwork) {
  CLoginServers::Instance().Clear();
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.GetHost(), "");
  EXPECT_EQ(cmd.Execute(1), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_TRUE(log.Attempts().empty());
  EXPECT_EQ(NextKeyLetter(), "A");  // no body was even encoded
}

TEST(Failover, ListReplacedDuringTheCycleCannotKeepItGoing) {
  const std::string a = ClosedServer("127.0.0.1");
  const std::string b = ClosedServer("127.0.0.2");
  const std::string c = ClosedServer("127.0.0.3");
  const std::string d = ClosedServer("127.0.0.4");
  UseServers({a, b});
  AttemptLog log([&](std::size_t attempt) {
    // The service replaces the list while the first attempt runs; the
    // starting server is not in the new one, so it never comes back.
    if (attempt == 0) CLoginServers::Instance().Parse(c + ";" + d, true);
    // Should the cycle run on, an empty list ends it so the test fails fast.
    if (attempt == 9) CLoginServers::Instance().Clear();
  });
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  const std::vector<std::string> urls = log.Urls();
  // Two entries when the cycle began: two attempts at most.
  EXPECT_EQ(urls, (std::vector<std::string>{UrlOf(a, kScript), UrlOf(d, kScript)}));
}

TEST(Failover, AFaultInsideAnAttemptCostsOnlyThatAttempt) {
  struct Case {
    const char* name;
    std::function<void()> fault;
  };
  const Case cases[] = {
      {"std::runtime_error", [] { throw std::runtime_error("scripted fault"); }},
      {"non-standard", [] { throw 42; }},
  };
  for (const Case& fault : cases) {
    SCOPED_TRACE(fault.name);
    ScriptedServer first("127.0.0.1", Script::Respond(200, OkReply()));
    ScriptedServer second("127.0.0.2", Script::Respond(200, OkReply("from=second\n")));
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    UseServers({first.HostPort(), second.HostPort()});
    AttemptLog log([&](std::size_t attempt) {
      if (attempt == 0) fault.fault();
    });
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), 0);
    EXPECT_EQ(log.Attempts().size(), 2u);
    EXPECT_EQ(first.Connections(), 0u);
    EXPECT_EQ(second.Requests().size(), 1u);
    EXPECT_EQ(cmd.GetReply(), OkReply("from=second\n"));
  }
}

TEST(Failover, OutOfMemoryIsNotSwallowed) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort(), ClosedServer("127.0.0.2")});
  AttemptLog log([](std::size_t) { throw std::bad_alloc(); });
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_THROW(cmd.Execute(0), std::bad_alloc);
  EXPECT_EQ(server.Connections(), 0u);
}

// Every attempt encodes the form afresh and so draws the next key letter.
TEST(Failover, EachKeyedAttemptDrawsANewKeyLetter) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "first key");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "second key");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "third key");
  ScriptedServer s1("127.0.0.1", Script::Respond(500, ""));
  ScriptedServer s2("127.0.0.2", Script::Respond(503, ""));
  ScriptedServer s3("127.0.0.3", Script::Respond(200, OkReply()));
  for (ScriptedServer* s : {&s1, &s2, &s3}) ASSERT_TRUE(s->Start());
  UseServers({s1.HostPort(), s2.HostPort(), s3.HostPort()});

  CHttpCmd cmd("", 80);
  cmd.SetScript("/vpn_intl/getdailupinfo.php");
  cmd.AddParam("vpnserverid", 12);
  cmd.AddParam("username", "bob");
  EXPECT_EQ(cmd.Execute(1), 0);

  const std::string expectedLetters = "ABC";
  const ScriptedServer* servers[] = {&s1, &s2, &s3};
  for (int i = 0; i < 3; ++i) {
    const auto requests = servers[i]->Requests();
    ASSERT_EQ(requests.size(), 1u) << i;
    const DecodedRequest decoded = DecodeRequest(requests[0].body);
    EXPECT_EQ(decoded.letter, expectedLetters[i]) << i;
    EXPECT_EQ(decoded.form, "username=bob&vpnserverid=12&") << i;
  }
}

TEST(Failover, UnkeyedAttemptsSendZAndStillAdvanceTheLetters) {
  ScriptedServer s1("127.0.0.1", Script::Respond(404, ""));
  ScriptedServer s2("127.0.0.2", Script::Respond(200, OkReply()));
  ASSERT_TRUE(s1.Start());
  ASSERT_TRUE(s2.Start());
  UseServers({s1.HostPort(), s2.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  cmd.AddParam("lang", "en");
  EXPECT_EQ(cmd.Execute(0), 0);
  for (const ScriptedServer* s : {&s1, &s2}) {
    const auto requests = s->Requests();
    ASSERT_EQ(requests.size(), 1u);
    const DecodedRequest decoded = DecodeRequest(requests[0].body);
    EXPECT_EQ(decoded.letter, 'Z');
    EXPECT_EQ(decoded.form, "lang=en&");
  }
  EXPECT_EQ(NextKeyLetter(), "C");  // two attempts used "A" and "B"
}

}  // namespace
