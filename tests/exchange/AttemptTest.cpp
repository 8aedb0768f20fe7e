// One attempt of the exchange: what goes on the wire, which answers count as
// a reply, and how broken transfers are handled.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "exchange/ExchangeTestUtil.h"
#include "facade/ProxyHelper.h"
#include "support/ScriptedServer.h"
#include "transport/HttpCmd.h"

namespace {

using namespace exchangetest;
using testsupport::Behaviour;
using testsupport::Script;
using testsupport::ScriptedServer;

const char kScript[] = "/vpn_intl/getversion.php";

// A valid reply of exactly `size` bytes: the reply text, a zero byte, filler.
std::string ReplyOfSize(std::size_t size) {
  std::string reply = OkReply("ver=7\n");
  EXPECT_LT(reply.size() + 1, size);
  reply.push_back('\0');
  while (reply.size() < size) reply.push_back(static_cast<char>('a' + reply.size() % 26));
  return reply;
}

std::string ItemOf(const CHttpCmd& cmd, const std::string& key) {
  const auto& sections = cmd.GetSections();
  const auto unnamed = FindSection(sections, "");
  return unnamed == sections.end() ? std::string("<no section>") : unnamed->GetItem(key);
}

TEST(Attempt, RequestAsTheServerReceivesIt) {
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "ExchangeTest/2.1");
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  cmd.AddParam("username", "bob");
  cmd.AddParam("agent", "x1");
  cmd.AddParam("lang", "en");
  cmd.AddParam("vpnserverid", 12);
  cmd.AddParam("note", "a&b=c d+e/f");
  ASSERT_EQ(cmd.Execute(0), 0);

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& r = requests[0];
  EXPECT_EQ(r.requestLine, "POST /vpn_intl/getversion.php HTTP/1.1");
  EXPECT_EQ(r.Header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(r.HeaderCount("Content-Type"), 1u);
  EXPECT_EQ(r.Header("Accept"), "*/*");
  EXPECT_EQ(r.HeaderCount("Accept"), 1u);
  EXPECT_EQ(r.Header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.Header("Host"), server.HostPort());
  EXPECT_EQ(r.Header("User-Agent"), "ExchangeTest/2.1");
  for (const char* absent :
       {"Expect", "Proxy-Connection", "Proxy-Authorization", "Transfer-Encoding", "Referer", "Cookie"}) {
    EXPECT_FALSE(r.HasHeader(absent)) << absent;
  }
  const std::string form = "agent=x1&lang=en&note=a&b=c d+e/f&username=bob&vpnserverid=12&";
  EXPECT_EQ(cmd.BuildForm(), form);
  EXPECT_EQ(r.body, "Z=" + QUILLON::URLEncode(Base64Encode(form)));
  EXPECT_EQ(DecodeRequest(r.body).form, form);
}

TEST(Attempt, UserAgentDefaultsToTheProgramName) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  ASSERT_EQ(cmd.Execute(0), 0);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].Header("User-Agent"), "test_exchange");
}

TEST(Attempt, GoesDirectWhateverTheProxyEnvironmentSays) {
  ScriptedServer proxy("127.0.0.2", Script::Respond(200, OkReply("via=proxy\n")));
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply("via=direct\n")));
  ASSERT_TRUE(proxy.Start());
  ASSERT_TRUE(server.Start());
  const std::string proxyUrl = "http://" + proxy.HostPort();
  setenv("http_proxy", proxyUrl.c_str(), 1);
  setenv("HTTP_PROXY", proxyUrl.c_str(), 1);
  setenv("ALL_PROXY", proxyUrl.c_str(), 1);
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  ASSERT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(ItemOf(cmd, "via"), "direct");
  EXPECT_EQ(proxy.Connections(), 0u);
}

TEST(Attempt, StatusOtherThan200FailsAndTheBodyIsNotRead) {
  for (int status : {201, 204, 302, 404, 500, 503}) {
    SCOPED_TRACE(status);
    // A perfectly good reply body: only the status makes the attempt fail.
    ScriptedServer server("127.0.0.1", Script::Respond(status, OkReply()));
    ASSERT_TRUE(server.Start());
    UseServers({server.HostPort()});
    AttemptLog log;
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
    EXPECT_EQ(cmd.GetReply(), "");
    EXPECT_TRUE(cmd.GetSections().empty());
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(log.Attempts().size(), 1u);
  }
}

// An empty 200 reply reaches the parse step as empty text, which the profile
// parser refuses: the attempt fails and the next server is asked.
TEST(Attempt, EmptyReplyWith200IsHandedToTheParserAndRefused) {
  ScriptedServer empty("127.0.0.1", Script::Respond(200, ""));
  ASSERT_TRUE(empty.Start());
  UseServers({empty.HostPort()});
  CHttpCmd alone("", 80);
  alone.SetScript(kScript);
  EXPECT_EQ(alone.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(alone.GetReply(), "");
  EXPECT_TRUE(alone.GetSections().empty());

  ScriptedServer good("127.0.0.2", Script::Respond(200, OkReply("n=2\n")));
  ASSERT_TRUE(good.Start());
  UseServers({empty.HostPort(), good.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(ItemOf(cmd, "n"), "2");
  EXPECT_EQ(empty.Requests().size(), 2u);
}

TEST(Attempt, ReplyLongerThanOneReadChunkIsKeptWhole) {
  std::string profile = "result=0\n[catalogue]\n";
  for (int i = 0; i < 2000; ++i) profile += "server" + std::to_string(i) + "=name,10.0.0.1,1,x\n";
  const std::string reply = ZReply(profile);
  ASSERT_GT(reply.size(), 3u * 8192u);
  ScriptedServer server("127.0.0.1", Script::Respond(200, reply));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  ASSERT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(cmd.GetReply(), reply);
  const auto catalogue = FindSection(cmd.GetSections(), "catalogue");
  ASSERT_NE(catalogue, cmd.GetSections().end());
  EXPECT_EQ(catalogue->GetItems().size(), 2000u);
  EXPECT_EQ(catalogue->GetItem("server1999"), "name,10.0.0.1,1,x");
}

TEST(Attempt, BytesAfterAZeroByteAreKeptButNotParsed) {
  std::string reply = OkReply("ver=9\n");
  reply.push_back('\0');
  for (int i = 0; i < 20000; ++i) reply.push_back(static_cast<char>(i % 256));  // not a profile
  ScriptedServer server("127.0.0.1", Script::Respond(200, reply));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  ASSERT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(cmd.GetReply().size(), reply.size());
  EXPECT_EQ(cmd.GetReply(), reply);
  EXPECT_TRUE(cmd.IsSucceeded());
  EXPECT_EQ(ItemOf(cmd, "ver"), "9");
}

TEST(Attempt, BodyEndedByConnectionCloseIsComplete) {
  Script script = Script::Respond(200, OkReply("framing=close\n"));
  script.closeDelimited = true;
  ScriptedServer server("127.0.0.1", script);
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  ASSERT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(cmd.GetReply(), OkReply("framing=close\n"));
  EXPECT_EQ(ItemOf(cmd, "framing"), "close");
}

TEST(Attempt, ReplyIsEmptiedForEveryAttempt) {
  // The first server's reply is received whole but does not parse.
  ScriptedServer bad("127.0.0.1", Script::Respond(200, "<html>maintenance</html>"));
  ScriptedServer good("127.0.0.2", Script::Respond(200, OkReply()));
  ASSERT_TRUE(bad.Start());
  ASSERT_TRUE(good.Start());
  UseServers({bad.HostPort(), good.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  ASSERT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(cmd.GetReply(), OkReply());
}

TEST(Attempt, OnlyTheLow16BitsOfThePortAreUsed) {
  class WidePortCmd : public CHttpCmd {
   public:
    WidePortCmd() : CHttpCmd("", 80) {}
    void WidenPort() { port += 65536; }
  };
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  WidePortCmd cmd;
  cmd.SetScript(kScript);
  cmd.WidenPort();
  AttemptLog log;
  EXPECT_EQ(cmd.Execute(0), 0);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{UrlOf(server, kScript)}));
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(Attempt, BoundsReachTheHttpLayer) {
  const std::string closed = ClosedServer("127.0.0.1");
  UseServers({closed});
  {
    AttemptLog log;
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
    const auto attempts = log.Attempts();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].request.path, kScript);
    EXPECT_EQ(attempts[0].failure, HttpFailure::kRefused);
    EXPECT_EQ(attempts[0].request.connectTimeoutMs, 500);
    EXPECT_EQ(attempts[0].request.deadlineMs, 30000);
    EXPECT_EQ(attempts[0].request.stallMs, 10000);
    EXPECT_EQ(attempts[0].request.maxBody, 32u * 1024 * 1024);
  }
  GlobalCache::Instance().SetConfigItem("GC_HTTP_TIMEOUT_MS", 4321);
  GlobalCache::Instance().SetConfigItem("GC_HTTP_STALL_MS", 1234);
  GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", 777);
  {
    AttemptLog log;
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
    const auto attempts = log.Attempts();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].request.deadlineMs, 4321);
    EXPECT_EQ(attempts[0].request.stallMs, 1234);
    EXPECT_EQ(attempts[0].request.maxBody, 777u);
  }
  // Values that are not positive fall back to the defaults.
  GlobalCache::Instance().SetConfigItem("GC_HTTP_TIMEOUT_MS", 0);
  GlobalCache::Instance().SetConfigItem("GC_HTTP_STALL_MS", -5);
  GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", "junk");
  {
    AttemptLog log;
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
    const auto attempts = log.Attempts();
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_EQ(attempts[0].request.deadlineMs, 30000);
    EXPECT_EQ(attempts[0].request.stallMs, 10000);
    EXPECT_EQ(attempts[0].request.maxBody, 32u * 1024 * 1024);
  }
}

TEST(Attempt, BodyBoundIsInclusive) {
  GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", 4096);
  struct Case {
    std::size_t size;
    bool closeDelimited;
    int expected;
  };
  const Case cases[] = {
      {4095, false, 0},
      {4096, false, 0},
      {4097, false, RESULT_TRANSPORT_FAILURE},
      {4096, true, 0},
      {4097, true, RESULT_TRANSPORT_FAILURE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + (c.closeDelimited ? " close-delimited" : " announced"));
    Script script = Script::Respond(200, ReplyOfSize(c.size));
    script.closeDelimited = c.closeDelimited;
    ScriptedServer server("127.0.0.1", script);
    ASSERT_TRUE(server.Start());
    UseServers({server.HostPort()});
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), c.expected);
    EXPECT_EQ(cmd.GetReply().size(), c.expected == 0 ? c.size : 0u);
  }
}

TEST(Attempt, HugeBodyIsCutOffAtTheBound) {
  GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", 1024 * 1024);
  Script huge = Script::Misbehave(Behaviour::kHugeBody);
  huge.hugeBytes = 1ull << 32;  // 4 GiB announced and streamed
  ScriptedServer server("127.0.0.1", huge);
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(cmd.GetReply(), "");
}

TEST(Attempt, RedirectLoopIsBoundedAndFails) {
  ScriptedServer server("127.0.0.1", Script::Misbehave(Behaviour::kRedirectLoop));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.Attempts().size(), 1u);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 11u);
  EXPECT_EQ(requests.front().requestLine, "POST /vpn_intl/getversion.php HTTP/1.1");
  EXPECT_EQ(requests.back().requestLine, "GET /vpn_intl/getversion.php HTTP/1.1");
}

// Each way a transfer can break: the first server's attempt fails, nothing
// of what it sent is kept, and the second server's reply is the result.
TEST(Attempt, BrokenTransferFailsTheAttemptAndTheNextServerIsAsked) {
  const std::string goodReply = OkReply("from=second\n");
  const std::string longReply = ReplyOfSize(50000);
  struct Case {
    const char* name;
    Script script;
    int stallMs;
    int transferMs;
    int maxBody;
    std::size_t requestsSeen;
  };
  // These three would deliver a valid reply in the end (after about 3 s):
  // only the stall and whole-transfer bounds make them fail.
  Script stall = Script::Misbehave(Behaviour::kStallMidBody, longReply, 20000);
  stall.stallMs = 3000;
  Script silent = Script::Misbehave(Behaviour::kSilent, OkReply("from=first\n"));
  silent.stallMs = 3000;
  Script trickle = Script::Misbehave(Behaviour::kTrickle, ReplyOfSize(150));
  trickle.intervalMs = 20;
  Script garbage = Script::Misbehave(Behaviour::kRaw);
  garbage.raw = "SSH-2.0-OpenSSH_9.2\r\n";
  Script overBound = Script::Respond(200, longReply);
  overBound.closeDelimited = true;
  const Case cases[] = {
      {"accept and close", Script::Misbehave(Behaviour::kAcceptAndClose), 0, 0, 0, 1},
      {"cut short", Script::Misbehave(Behaviour::kCloseMidBody, longReply, 30000), 0, 0, 0, 1},
      {"reset mid-body", Script::Misbehave(Behaviour::kResetMidBody, longReply, 30000), 0, 0, 0, 1},
      {"broken chunks", Script::Misbehave(Behaviour::kBrokenChunked, longReply, 30000), 0, 0, 0, 1},
      {"stall mid-body", stall, 300, 20000, 0, 1},
      {"silent after request", silent, 300, 20000, 0, 1},
      {"trickle past the whole bound", trickle, 5000, 700, 0, 1},
      {"not http", garbage, 0, 0, 0, 1},
      {"redirect loop", Script::Misbehave(Behaviour::kRedirectLoop), 0, 0, 0, 11},
      {"over the body bound", overBound, 0, 0, 40000, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.stallMs > 0) GlobalCache::Instance().SetConfigItem("GC_HTTP_STALL_MS", c.stallMs);
    if (c.transferMs > 0) GlobalCache::Instance().SetConfigItem("GC_HTTP_TIMEOUT_MS", c.transferMs);
    if (c.maxBody > 0) GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", c.maxBody);
    ScriptedServer bad("127.0.0.1", c.script);
    ScriptedServer good("127.0.0.2", Script::Respond(200, goodReply));
    ASSERT_TRUE(bad.Start());
    ASSERT_TRUE(good.Start());
    UseServers({bad.HostPort(), good.HostPort()});
    AttemptLog log;
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), 0);
    EXPECT_EQ(cmd.GetReply(), goodReply);
    EXPECT_EQ(ItemOf(cmd, "from"), "second");
    EXPECT_EQ(bad.Requests().size(), c.requestsSeen);
    EXPECT_EQ(good.Requests().size(), 1u);
    EXPECT_EQ(log.ConnectTimeouts(), (std::vector<int>{500, 1000}));
    bad.Stop();  // ends a stalled answer before the next case
    for (const char* item : {"GC_HTTP_STALL_MS", "GC_HTTP_TIMEOUT_MS", "GC_HTTP_MAX_BODY"}) {
      GlobalCache::Instance().RemoveConfigItem(item);
    }
  }
}

TEST(Attempt, BrokenTransferFromTheOnlyServerFailsExecute) {
  const std::string longReply = ReplyOfSize(50000);
  for (Behaviour behaviour :
       {Behaviour::kCloseMidBody, Behaviour::kResetMidBody, Behaviour::kBrokenChunked}) {
    ScriptedServer server("127.0.0.1", Script::Misbehave(behaviour, longReply, 20000));
    ASSERT_TRUE(server.Start());
    UseServers({server.HostPort()});
    CHttpCmd cmd("", 80);
    cmd.SetScript(kScript);
    EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE) << static_cast<int>(behaviour);
    // What arrived before the break would have parsed, but is not kept.
    EXPECT_EQ(cmd.GetReply(), "") << static_cast<int>(behaviour);
    EXPECT_TRUE(cmd.GetSections().empty());
  }
}

}  // namespace
