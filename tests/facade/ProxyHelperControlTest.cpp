// Cancelling operations in flight, and the attempt trace, through the public
// interface against loopback servers that misbehave as scripted.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "support/ReferenceService.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"
#include "support/TempDir.h"

namespace {

using testsupport::Behaviour;
using testsupport::Script;
using testsupport::ScriptedServer;
using testsupport::UnkeyedReply;
using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A signed-in client with keys, a lease and a cached catalogue from the
// reference service; the tests then point it at a misbehaving server.
class ControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    QUILLON::SetExeDirectory(dir_.path());
    GlobalCache& cache = GlobalCache::Instance();
    cache.SetClientCfg("control-test", "1.0");
    // Long bounds: only a cancel can end these attempts early.
    cache.SetConfigItem("GC_HTTP_TIMEOUT_MS", 60000);
    cache.SetConfigItem("GC_HTTP_STALL_MS", 60000);
    ASSERT_TRUE(service_.ok());
    UseServers(service_.AddressList());
    VPErrorInfo error;
    ASSERT_EQ(helper_.SignIn({"alice", "alice-pass"}, error), 0);
    UserInfo info;
    ASSERT_EQ(helper_.GetUserInfo(info), 0);
    ASSERT_EQ(helper_.GetDailupInfo(101, lease_, error), 0);
    ASSERT_EQ(helper_.GetVpnServers(catalogue_), 0);
    magic_ = helper_.GetMagic();
    cache_ = dir_.Read("cache.dat");
  }

  void TearDown() override {
    ProxyHelperControl::SetAttemptTrace(nullptr);
    GlobalCache& cache = GlobalCache::Instance();
    delete static_cast<ServerConfig*>(cache.GetValue("GCP_CUR_SERVERCONFIG"));
    cache.SetValue("GCP_CUR_SERVERCONFIG", nullptr);
  }

  static void UseServers(const std::string& list) {
    ASSERT_GT(CLoginServers::Instance().Parse(list, true), 0);
  }

  // Runs `operation` in another thread, cancels after `afterMs`, and returns
  // its result and how long after the cancel it returned.
  template <typename Operation>
  std::pair<int, long> CancelAfter(int afterMs, Operation operation) {
    auto running = std::async(std::launch::async, operation);
    std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
    const Clock::time_point cancelled = Clock::now();
    ProxyHelperControl::CancelAll();
    if (running.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the operation did not return after the cancel";
      return {0, -1};
    }
    const int result = running.get();
    return {result, MillisecondsSince(cancelled)};
  }

  testsupport::TempDir dir_{"proxyhelper-control-"};
  testsupport::ReferenceService service_;
  ProxyHelper& helper_ = ProxyHelper::Instance();
  DialupInfo lease_;
  ServerCatalogue catalogue_;
  std::string magic_;
  std::string cache_;
};

TEST_F(ControlTest, CancelEndsOperationsStuckInEveryPhase) {
  testsupport::UnacceptingListener blackhole("127.0.0.3");
  ASSERT_TRUE(blackhole.Start());
  Script silent = Script::Misbehave(Behaviour::kSilent);
  silent.stallMs = 30000;
  ScriptedServer stalled("127.0.0.2", silent);
  const std::string body = UnkeyedReply("result=0\n[Europe]\n1=x,1.2.3.4,1,Here\n");
  Script midBody = Script::Misbehave(Behaviour::kStallMidBody, body, body.size() / 2);
  midBody.stallMs = 30000;
  ScriptedServer cutOff("127.0.0.4", midBody);
  // 1,500,000 servers, 33 MB of text behind 2.5 MB of bzip2: about a
  // second to expand and parse, long after the body arrived.
  std::string large = "result=0\n[Europe]\n";
  for (int i = 0; i < 1500000; ++i) {
    large += std::to_string(i % 1000) + "=x,1.2.3." + std::to_string(i % 251) + ",1,Here\n";
  }
  ScriptedServer expanding("127.0.0.5", Script::Respond(200, testsupport::CompressedReply(large)));
  ASSERT_TRUE(stalled.Start());
  ASSERT_TRUE(cutOff.Start());
  ASSERT_TRUE(expanding.Start());
  struct Case {
    const char* name;
    std::string server;
  } cases[] = {
      {"waiting for the answer", stalled.HostPort()},
      {"connecting to a listener that never accepts", "127.0.0.3:" + std::to_string(blackhole.port())},
      {"in the middle of the body", cutOff.HostPort()},
      {"expanding and parsing a large reply", expanding.HostPort()},
  };
  // The connect time-out would end the blackholed attempt by itself at
  // 500 ms; the cancel comes before it. The service follows in the list: a
  // cancelled attempt must not move the shared position on to it.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseServers(c.server + ";" + service_.AddressList());
    CLoginServers::Instance().SetDefaultServer(c.server, false);  // current
    ServerCatalogue servers{{"Caller", {ServerInfo("9", "mine")}}};
    const auto [result, afterMs] = CancelAfter(250, [&] { return helper_.GetVpnServers(servers); });
    EXPECT_EQ(result, RESULT_CANCELLED);
    EXPECT_GE(afterMs, 0);
    EXPECT_LT(afterMs, 1000) << "ms after the cancel";
    ASSERT_EQ(servers.size(), 1u);
    EXPECT_EQ(servers["Caller"].size(), 1u);
    EXPECT_EQ(helper_.GetMagic(), magic_);
    EXPECT_EQ(dir_.Read("cache.dat"), cache_);
    std::string host;
    int port = 0;
    CLoginServers::Instance().GetCurrServer(host, port);
    EXPECT_EQ(host + ":" + std::to_string(port), c.server);
  }
  // A cancel reaches only what was running: the next operation works.
  UseServers(service_.AddressList());
  ServerCatalogue servers;
  EXPECT_EQ(helper_.GetVpnServers(servers), 0);
  EXPECT_EQ(servers.size(), catalogue_.size());
}

// A release the application cancelled leaves the lease, so that it can
// still be confirmed and released.
TEST_F(ControlTest, CancelledReleaseKeepsTheLease) {
  Script silent = Script::Misbehave(Behaviour::kSilent);
  silent.stallMs = 30000;
  ScriptedServer stalled("127.0.0.2", silent);
  ASSERT_TRUE(stalled.Start());
  UseServers(stalled.HostPort());
  const auto outcome = CancelAfter(200, [&] { return helper_.ReleaseDialupInfo(0); });
  EXPECT_EQ(outcome.first, RESULT_CANCELLED);
  UseServers(service_.AddressList());
  VPErrorInfo error;
  EXPECT_EQ(helper_.ShakeHands({lease_.lendusername, 101}, error), 0);
  EXPECT_EQ(helper_.ReleaseDialupInfo(0), 0);
  EXPECT_EQ(helper_.ShakeHands({lease_.lendusername, 101}, error), 8);  // released now
}

// One record per attempt, in attempt order, with the outcome each server
// produced, and nothing secret in any field.
TEST_F(ControlTest, TraceReportsEveryAttemptInOrder) {
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetConfigItem("GC_HTTP_TIMEOUT_MS", 1500);
  cache.SetConfigItem("GC_HTTP_STALL_MS", 400);
  cache.SetConfigItem("GC_HTTP_MAX_BODY", 4096);
  const int closedPort = testsupport::ReserveClosedPort("127.0.0.5");
  std::vector<std::unique_ptr<ScriptedServer>> servers;
  auto serve = [&servers](const std::string& address, Script script) {
    servers.push_back(std::make_unique<ScriptedServer>(address, std::move(script)));
    EXPECT_TRUE(servers.back()->Start());
    return servers.back()->HostPort();
  };
  Script stall = Script::Misbehave(Behaviour::kSilent);
  stall.stallMs = 5000;
  Script trickle = Script::Misbehave(Behaviour::kTrickle, UnkeyedReply("result=0\nver=slow\n"));
  trickle.intervalMs = 300;
  Script huge = Script::Misbehave(Behaviour::kHugeBody);
  huge.hugeBytes = 1 << 20;
  struct Expected {
    std::string server;
    AttemptOutcome outcome;
    int status;
  };
  const std::vector<Expected> expected = {
      {"127.0.0.5:" + std::to_string(closedPort), AttemptOutcome::kRefused, 0},
      {serve("127.0.0.6", Script::Respond(500, "oops")), AttemptOutcome::kHttpStatus, 500},
      {serve("127.0.0.7", Script::Misbehave(Behaviour::kAcceptAndClose)), AttemptOutcome::kNoResponse, 0},
      {serve("127.0.0.8", Script::Misbehave(Behaviour::kCloseMidBody, UnkeyedReply("result=0\n"), 4)),
       AttemptOutcome::kCutShort, 200},
      {serve("127.0.0.9", stall), AttemptOutcome::kStall, 0},
      {serve("127.0.0.10", trickle), AttemptOutcome::kDeadline, 200},
      {serve("127.0.0.11", huge), AttemptOutcome::kBodyTooBig, 200},
      {serve("127.0.0.12", Script::Misbehave(Behaviour::kRedirectLoop)), AttemptOutcome::kTooManyRedirects,
       0},
      {serve("127.0.0.13", Script::Respond(200, "<html>busy</html>")), AttemptOutcome::kUnparsable, 200},
      {serve("127.0.0.14", Script::Respond(200, UnkeyedReply("result=4\nerrdesc=no\n"))),
       AttemptOutcome::kRefusedByService, 200},
  };
  std::string list;
  for (const Expected& e : expected) list += e.server + ";";
  UseServers(list);
  std::vector<AttemptTrace> traces;
  std::mutex mutex;
  ProxyHelperControl::SetAttemptTrace([&](const AttemptTrace& attempt) {
    std::lock_guard<std::mutex> lock(mutex);
    traces.push_back(attempt);
    if (traces.size() == 3) throw std::runtime_error("a faulty handler changes nothing");
  });
  VPErrorInfo error;
  // The last server refuses: a refusal ends the cycle like any reply.
  EXPECT_EQ(helper_.SignIn({"alice", "alice-pass"}, error), 4);
  ProxyHelperControl::SetAttemptTrace(nullptr);

  ASSERT_EQ(traces.size(), expected.size());
  const int timeouts[] = {500, 1000, 1500, 2000, 2500, 2500, 2500, 2500, 2500, 2500};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("attempt " + std::to_string(i) + ": " + ProxyHelperControl::OutcomeName(traces[i].outcome));
    const AttemptTrace& t = traces[i];
    EXPECT_EQ(t.host + ":" + std::to_string(t.port), expected[i].server);
    EXPECT_EQ(t.outcome, expected[i].outcome);
    EXPECT_EQ(t.httpStatus, expected[i].status);
    EXPECT_EQ(t.script, "loginin.php");
    EXPECT_FALSE(t.tls);
    EXPECT_EQ(t.connectTimeoutMs, timeouts[i]);
    EXPECT_GE(t.elapsedMs, 0);
    EXPECT_LT(t.elapsedMs, 3000);
    EXPECT_EQ(t.serviceResult, expected[i].outcome == AttemptOutcome::kRefusedByService ? 4 : 0);
    for (const std::string& field : {t.script, t.host}) {
      for (const std::string& secret : {std::string("alice-pass"), magic_, lease_.lendpassword}) {
        EXPECT_EQ(field.find(secret), std::string::npos);
      }
    }
  }
  EXPECT_EQ(traces.back().bodyBytes, UnkeyedReply("result=4\nerrdesc=no\n").size());
  EXPECT_EQ(traces[8].bodyBytes, std::string("<html>busy</html>").size());
}

// Independent watchers: the application's slot and two subscriptions each
// see every attempt, in order; removing one leaves the others.
TEST_F(ControlTest, TraceSubscriptionsWatchBesideTheApplicationsSlot) {
  const std::string closed = "127.0.0.5:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.5"));
  UseServers(closed + ";" + service_.AddressList());
  CLoginServers::Instance().SetDefaultServer(closed, false);  // the closed one first
  std::mutex mutex;
  std::vector<std::string> seen[3];
  auto watcher = [&](int which) {
    return [&, which](const AttemptTrace& attempt) {
      std::lock_guard<std::mutex> lock(mutex);
      seen[which].push_back(ProxyHelperControl::OutcomeName(attempt.outcome));
    };
  };
  ProxyHelperControl::SetAttemptTrace(watcher(0));
  const ProxyHelperControl::TraceToken first = ProxyHelperControl::AddAttemptTrace(watcher(1));
  const ProxyHelperControl::TraceToken second = ProxyHelperControl::AddAttemptTrace(watcher(2));
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
  EXPECT_EQ(ProxyHelperControl::AddAttemptTrace(nullptr), 0u);
  std::string version;
  ASSERT_EQ(helper_.GetVersion(version), 0);  // refused, then the service
  const std::vector<std::string> both = {"connection refused", "parsed"};
  for (const auto& list : seen) EXPECT_EQ(list, both);

  EXPECT_TRUE(ProxyHelperControl::RemoveAttemptTrace(first));
  EXPECT_FALSE(ProxyHelperControl::RemoveAttemptTrace(first));
  EXPECT_FALSE(ProxyHelperControl::RemoveAttemptTrace(0));
  ProxyHelperControl::SetAttemptTrace(nullptr);  // the slot alone goes
  ASSERT_EQ(helper_.GetVersion(version), 0);     // the service is current now
  EXPECT_EQ(seen[0], both);
  EXPECT_EQ(seen[1], both);
  EXPECT_EQ(seen[2], (std::vector<std::string>{"connection refused", "parsed", "parsed"}));
  EXPECT_TRUE(ProxyHelperControl::RemoveAttemptTrace(second));
}

TEST(ControlWords, OutcomeNamesAreDistinctAndLowerCase) {
  std::vector<std::string> seen;
  for (int i = 0; i <= static_cast<int>(AttemptOutcome::kCutShort); ++i) {
    const std::string name = ProxyHelperControl::OutcomeName(static_cast<AttemptOutcome>(i));
    EXPECT_FALSE(name.empty());
    for (char c : name) EXPECT_FALSE(c >= 'A' && c <= 'Z') << name;
    for (const std::string& other : seen) EXPECT_NE(name, other);
    seen.push_back(name);
  }
}

}  // namespace
