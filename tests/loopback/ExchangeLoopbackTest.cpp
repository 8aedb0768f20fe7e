// The exchange as loopback servers see it, through whatever HTTP layer the
// platform has (libcurl on Linux, WinINet on Windows and under Wine): the
// request on the wire, the failover order, which answers count as a reply,
// and that broken or endless transfers fail the attempt in bounded time.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "support/ScriptedServer.h"
#include "transport/HttpCmd.h"

namespace {

using testsupport::Behaviour;
using testsupport::Script;
using testsupport::ScriptedServer;

const char kScript[] = "/vpn_intl/getversion.php";

std::string ZReply(const std::string& profileText) { return "Z=" + Base64Encode(profileText); }

std::string OkReply(const std::string& extra = std::string()) {
  return ZReply("result=0\nerrdesc=\n" + extra);
}

void UseServers(const std::vector<std::string>& entries) {
  std::string text;
  for (const std::string& entry : entries) text += entry + ";";
  ASSERT_EQ(CLoginServers::Instance().Parse(text, true), static_cast<int>(entries.size())) << text;
}

std::string ClosedServer(const std::string& address) {
  const int port = testsupport::ReserveClosedPort(address);
  EXPECT_NE(port, 0) << address;
  return address + ":" + std::to_string(port);
}

std::string CurrentServer() {
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  return host + ":" + std::to_string(port);
}

std::string ItemOf(const CHttpCmd& cmd, const std::string& key) {
  const auto& sections = cmd.GetSections();
  const auto unnamed = FindSection(sections, "");
  return unnamed == sections.end() ? std::string("<no section>") : unnamed->GetItem(key);
}

// The key letter of a request body and its form text, decoded the way the
// service decodes it.
struct DecodedRequest {
  char letter = 0;
  std::string form;
};

DecodedRequest DecodeRequest(const std::string& body) {
  DecodedRequest decoded;
  if (body.size() < 2 || body[1] != '=') return decoded;
  decoded.letter = body[0];
  const std::string payload = Base64Decode(QUILLON::URLDecode(body.substr(2)));
  if (decoded.letter == 'Z') {
    decoded.form = payload;
    return decoded;
  }
  decoded.form = TwofishDecrypt(DeriveKey(ReadKeyItem(std::string(1, decoded.letter))), payload);
  while (!decoded.form.empty() && decoded.form.back() == '\0') decoded.form.pop_back();
  return decoded;
}

int ExecuteScript(CHttpCmd& cmd, int keyed = 0) {
  cmd.SetScript(kScript);
  return cmd.Execute(keyed);
}

TEST(Loopback, RequestAsTheServerReceivesIt) {
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "LoopbackTest/3.0");
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply("ver=9\n")));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  cmd.AddParam("username", "bob");
  cmd.AddParam("vpnserverid", 12);
  cmd.AddParam("note", "a&b=c d+e/f");
  ASSERT_EQ(ExecuteScript(cmd), 0);
  EXPECT_EQ(ItemOf(cmd, "ver"), "9");

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
  EXPECT_EQ(r.Header("User-Agent"), "LoopbackTest/3.0");
  for (const char* absent : {"Proxy-Connection", "Proxy-Authorization", "Referer", "Cookie"}) {
    EXPECT_FALSE(r.HasHeader(absent)) << absent;
  }
  const std::string form = "note=a&b=c d+e/f&username=bob&vpnserverid=12&";
  EXPECT_EQ(r.body, "Z=" + QUILLON::URLEncode(Base64Encode(form)));
  EXPECT_EQ(DecodeRequest(r.body).form, form);
}

TEST(Loopback, UserAgentDefaultsToTheProgramName) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  ASSERT_EQ(ExecuteScript(cmd), 0);
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].Header("User-Agent"), "test_loopback");
}

TEST(Loopback, OnlyTheThirdOfThreeServersAnswers) {
  const std::string closed1 = ClosedServer("127.0.0.1");
  const std::string closed2 = ClosedServer("127.0.0.2");
  ScriptedServer good("127.0.0.3", Script::Respond(200, OkReply("via=third\n")));
  ASSERT_TRUE(good.Start());
  UseServers({closed1, closed2, good.HostPort()});

  CHttpCmd cmd("", 80);
  ASSERT_EQ(ExecuteScript(cmd), 0);
  EXPECT_EQ(ItemOf(cmd, "via"), "third");
  EXPECT_EQ(good.Requests().size(), 1u);
  // 500 ms, then 1000, then 1500 for the third attempt.
  EXPECT_EQ(cmd.GetConnectTimeout(), 1500);
  // The server that answered stays current for the next command.
  EXPECT_EQ(CurrentServer(), good.HostPort());
  CHttpCmd next("", 80);
  EXPECT_EQ(next.GetHost() + ":" + std::to_string(next.GetPort()), good.HostPort());
}

TEST(Loopback, FailedCycleAsksEveryServerOnceAndEndsAtTheStart) {
  ScriptedServer s1("127.0.0.1", Script::Respond(500, ""));
  ScriptedServer s2("127.0.0.2", Script::Respond(404, ""));
  ScriptedServer s3("127.0.0.3", Script::Respond(503, ""));
  for (ScriptedServer* s : {&s1, &s2, &s3}) ASSERT_TRUE(s->Start());
  UseServers({s1.HostPort(), s2.HostPort(), s3.HostPort()});

  CHttpCmd cmd("", 80);
  EXPECT_EQ(ExecuteScript(cmd), RESULT_TRANSPORT_FAILURE);
  for (const ScriptedServer* s : {&s1, &s2, &s3}) EXPECT_EQ(s->Requests().size(), 1u);
  EXPECT_EQ(CurrentServer(), s1.HostPort());
  EXPECT_EQ(cmd.GetReply(), "");
}

TEST(Loopback, SingleFailingServerIsAskedOnceWithoutRaisingTheTimeout) {
  ScriptedServer server("127.0.0.1", Script::Respond(500, OkReply()));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  EXPECT_EQ(ExecuteScript(cmd), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(cmd.GetConnectTimeout(), 500);
}

TEST(Loopback, EntriesSharingAHostAreEachTried) {
  const std::string closed = ClosedServer("127.0.0.1");
  ScriptedServer good("127.0.0.1", Script::Respond(200, OkReply("via=second\n")));
  ASSERT_TRUE(good.Start());
  UseServers({closed, good.HostPort()});
  CHttpCmd cmd("", 80);
  ASSERT_EQ(ExecuteScript(cmd), 0);
  EXPECT_EQ(ItemOf(cmd, "via"), "second");
}

TEST(Loopback, EachKeyedAttemptDrawsANewKeyLetter) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "first key");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "second key");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "third key");
  ScriptedServer s1("127.0.0.1", Script::Respond(500, ""));
  ScriptedServer s2("127.0.0.2", Script::Respond(200, OkReply()));
  ASSERT_TRUE(s1.Start());
  ASSERT_TRUE(s2.Start());
  UseServers({s1.HostPort(), s2.HostPort()});

  CHttpCmd cmd("", 80);
  cmd.AddParam("username", "bob");
  ASSERT_EQ(ExecuteScript(cmd, 1), 0);
  const ScriptedServer* servers[] = {&s1, &s2};
  for (int i = 0; i < 2; ++i) {
    const auto requests = servers[i]->Requests();
    ASSERT_EQ(requests.size(), 1u) << i;
    const DecodedRequest decoded = DecodeRequest(requests[0].body);
    EXPECT_EQ(decoded.letter, "AB"[i]) << i;
    EXPECT_EQ(decoded.form, "username=bob&") << i;
  }
}

TEST(Loopback, RepliesAreKeptWholeWhateverTheirFraming) {
  // A payload far over one 8192-byte read, with every byte value after the
  // zero byte that ends the reply text.
  std::string big = OkReply("ver=7\n");
  big.push_back('\0');
  for (int i = 0; big.size() < 100000; ++i) big.push_back(static_cast<char>(i & 0xFF));

  struct Case {
    const char* label;
    Script script;
  };
  Script closeDelimited = Script::Respond(200, big);
  closeDelimited.closeDelimited = true;
  const std::vector<Case> cases = {
      {"content-length", Script::Respond(200, big)},
      {"close-delimited", closeDelimited},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScriptedServer server("127.0.0.1", c.script);
    ASSERT_TRUE(server.Start());
    UseServers({server.HostPort()});
    CHttpCmd cmd("", 80);
    ASSERT_EQ(ExecuteScript(cmd), 0);
    EXPECT_EQ(cmd.GetReply(), big);
    EXPECT_EQ(ItemOf(cmd, "ver"), "7");
  }
}

TEST(Loopback, BodyBoundIsInclusive) {
  const std::string reply = OkReply("ver=5\n");
  struct Case {
    int bound;
    int expected;
  };
  const int size = static_cast<int>(reply.size());
  for (const Case& c : {Case{size, 0}, Case{size - 1, RESULT_TRANSPORT_FAILURE}}) {
    SCOPED_TRACE(c.bound);
    GlobalCache::Instance().SetConfigItem("GC_HTTP_MAX_BODY", c.bound);
    ScriptedServer server("127.0.0.1", Script::Respond(200, reply));
    ASSERT_TRUE(server.Start());
    UseServers({server.HostPort()});
    CHttpCmd cmd("", 80);
    EXPECT_EQ(ExecuteScript(cmd), c.expected);
    EXPECT_EQ(cmd.GetReply(), c.expected == 0 ? reply : "");
  }
}

// Every kind of broken answer costs its attempt, and the next server is
// asked; alone in the list, it fails Execute. A transfer that broke off
// leaves no reply behind; a complete one that does not parse stays readable.
TEST(Loopback, BrokenAnswersFailTheAttemptAndTheNextServerIsAsked) {
  const std::string reply = OkReply("ver=1\n" + std::string(3000, '#') + "\n");
  struct Case {
    const char* label;
    Script script;
    const char* setting;  // a bound made small for this case, or null
    int value;
    bool complete = false;  // the body arrived whole but is no reply
  };
  Script stall = Script::Misbehave(Behaviour::kStallMidBody, reply, 100);
  stall.stallMs = 60000;
  Script trickle = Script::Misbehave(Behaviour::kTrickle, reply);
  trickle.intervalMs = 50;  // 3000 bytes would take minutes
  Script silent = Script::Misbehave(Behaviour::kSilent, reply);
  silent.stallMs = 60000;
  Script huge = Script::Misbehave(Behaviour::kHugeBody);
  huge.hugeBytes = 8u * 1024 * 1024;
  const std::vector<Case> cases = {
      {"status 404", Script::Respond(404, OkReply()), nullptr, 0},
      {"status 500", Script::Respond(500, OkReply()), nullptr, 0},
      {"closed without an answer", Script::Misbehave(Behaviour::kAcceptAndClose), nullptr, 0},
      {"closed mid-body", Script::Misbehave(Behaviour::kCloseMidBody, reply, 1000), nullptr, 0},
      {"reset mid-body", Script::Misbehave(Behaviour::kResetMidBody, reply, 1000), nullptr, 0},
      {"empty 200", Script::Respond(200, ""), nullptr, 0},
      {"not a reply", Script::Respond(200, "<html>busy</html>"), nullptr, 0, true},
      {"silent after the request", silent, "GC_HTTP_STALL_MS", 500},
      {"stalled mid-body", stall, "GC_HTTP_STALL_MS", 500},
      {"endless trickle", trickle, "GC_HTTP_TIMEOUT_MS", 1500},
      {"body over the bound", huge, "GC_HTTP_MAX_BODY", 1024 * 1024},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.setting != nullptr) GlobalCache::Instance().SetConfigItem(c.setting, c.value);
    {
      ScriptedServer bad("127.0.0.1", c.script);
      ScriptedServer good("127.0.0.2", Script::Respond(200, OkReply("via=good\n")));
      ASSERT_TRUE(bad.Start());
      ASSERT_TRUE(good.Start());
      UseServers({bad.HostPort(), good.HostPort()});
      CHttpCmd cmd("", 80);
      EXPECT_EQ(ExecuteScript(cmd), 0);
      EXPECT_EQ(ItemOf(cmd, "via"), "good");
      EXPECT_EQ(bad.Requests().size(), 1u);
      EXPECT_EQ(CurrentServer(), good.HostPort());
    }
    {
      ScriptedServer bad("127.0.0.1", c.script);
      ASSERT_TRUE(bad.Start());
      UseServers({bad.HostPort()});
      CHttpCmd cmd("", 80);
      EXPECT_EQ(ExecuteScript(cmd), RESULT_TRANSPORT_FAILURE);
      EXPECT_EQ(cmd.GetReply(), c.complete ? c.script.body : "");
    }
    if (c.setting != nullptr) GlobalCache::Instance().RemoveConfigItem(c.setting);
  }
}

TEST(Loopback, RedirectLoopIsBoundedAndFails) {
  ScriptedServer server("127.0.0.1", Script::Misbehave(Behaviour::kRedirectLoop));
  ASSERT_TRUE(server.Start());
  UseServers({server.HostPort()});
  CHttpCmd cmd("", 80);
  EXPECT_EQ(ExecuteScript(cmd), RESULT_TRANSPORT_FAILURE);
  // The first request and at most 10 redirects, on every platform.
  EXPECT_GE(server.Connections(), 1u);
  EXPECT_LE(server.Connections(), 11u);
}

TEST(Loopback, EmptyServerListFailsWithoutTouchingTheNetwork) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, OkReply()));
  ASSERT_TRUE(server.Start());
  CLoginServers::Instance().Clear();
  CHttpCmd cmd("", 80);
  EXPECT_EQ(ExecuteScript(cmd), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(server.Connections(), 0u);
}

}  // namespace
