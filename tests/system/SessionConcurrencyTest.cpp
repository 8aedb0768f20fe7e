// Every operation through the facade from eight threads at once, against
// the reference service, as an application with a heartbeat and a refresh
// timer beside its window would call them. Run under ThreadSanitizer in CI:
// no data race, every result a documented one, the session whole afterwards;
// with kept connections ("GC_HTTP_REUSE") too, the threads sharing the pool.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "support/ReferenceService.h"
#include "support/TempDir.h"
#include "tools/devserver/ResultCodes.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRoundsPerThread = 12;

// 0, the library's own codes, and the reference service's refusals. (A
// transport failure is possible too: under a sanitizer the service may be
// slow enough to miss a connect time-out.)
bool Documented(int result) {
  return result == 0 || result == RESULT_NOT_SUCCEEDED || result == RESULT_TRANSPORT_FAILURE ||
         result == -1 || (result >= devserver::kResultBadRequest && result <= devserver::kResultNoCipherKeys);
}

class ConcurrencySession : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { GlobalCache::Instance().RemoveConfigItem("GC_HTTP_REUSE"); }
};

TEST_P(ConcurrencySession, EveryOperationFromEightThreads) {
  if (GetParam()) GlobalCache::Instance().SetConfigItem("GC_HTTP_REUSE", 1);
  testsupport::TempDir dir("proxyhelper-concurrency-");
  ASSERT_TRUE(dir.ok());
  QUILLON::SetExeDirectory(dir.path());
  GlobalCache::Instance().SetClientCfg("concurrency", "1.0");
  testsupport::ReferenceService service({"127.0.0.1", "127.0.0.2"});
  ASSERT_TRUE(service.ok());
  ASSERT_GT(CLoginServers::Instance().Parse(service.AddressList(), true), 0);
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo error;
  ASSERT_EQ(helper.SignIn({"alice", "alice-pass"}, error), 0);
  UserInfo info;
  ASSERT_EQ(helper.GetUserInfo(info), 0);
  std::atomic<int> traced{0};
  std::atomic<int> reused{0};
  ProxyHelperControl::SetAttemptTrace([&traced, &reused](const AttemptTrace& attempt) {
    ++traced;
    if (attempt.reused) ++reused;
  });

  std::atomic<int> undocumented{0};
  std::atomic<int> calls{0};
  std::atomic<int> remoteCalls{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < kRoundsPerThread; ++round) {
        VPErrorInfo refusal;
        DialupInfo lease;
        UserInfo account;
        std::vector<ServerOnlineRatio> ratios;
        ServerCatalogue servers;
        std::string version;
        int result = 0;
        switch ((t + round) % 11) {
          case 0:
            result = helper.SignIn({"alice", "alice-pass"}, refusal);
            break;
          case 1:
            result = helper.GetUserInfo(account);
            break;
          case 2:
            result = helper.GetDailupInfo(101, lease, refusal);
            break;
          case 3:
            result = helper.ShakeHands({"dial101a", 101}, refusal);
            break;
          case 4:
            result = helper.GetOnlineRatio(ratios);
            break;
          case 5:
            result = helper.GetVpnServers(servers);
            break;
          case 6:
            result = helper.GetLocalVpnServers(servers);
            break;
          case 7:
            result = helper.GetVersion(version);
            break;
          case 8:
            result = helper.ReleaseDialupInfo(0);
            break;
          case 9:
            result = helper.Register({"user-" + std::to_string(t), "pw", "", "", "", ""}, refusal);
            break;
          default:
            (void)helper.GetUserNameA();
            (void)helper.GetMagic();
            result = helper.SignOut();
        }
        ++calls;
        if ((t + round) % 11 != 6) ++remoteCalls;
        if (!Documented(result)) {
          ++undocumented;
          ADD_FAILURE() << "thread " << t << " round " << round << ": " << result;
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : pool) thread.join();
  ProxyHelperControl::SetAttemptTrace(nullptr);

  EXPECT_EQ(calls.load(), kThreads * kRoundsPerThread);
  EXPECT_EQ(undocumented.load(), 0);
  // One trace per attempt: every remote call made at least one.
  EXPECT_GE(traced.load(), remoteCalls.load());
  // Kept connections are taken up again, and only when asked for.
  EXPECT_EQ(reused.load() > 0, GetParam()) << reused.load() << " of " << traced.load();
  // The session is one whole session: signing in again gives one that the
  // service accepts, and the name and token read back belong together.
  ASSERT_EQ(helper.SignIn({"alice", "alice-pass"}, error), 0);
  EXPECT_EQ(helper.GetUserNameA(), "alice");
  EXPECT_FALSE(helper.GetMagic().empty());
  EXPECT_EQ(helper.GetUserInfo(info), 0);
  EXPECT_EQ(info.username, "alice");
  ServerCatalogue replayed;
  EXPECT_EQ(helper.GetVpnServers(replayed), 0);
  EXPECT_EQ(helper.GetLocalVpnServers(replayed), 0);  // the cache file is whole
  delete static_cast<ServerConfig*>(GlobalCache::Instance().GetValue("GCP_CUR_SERVERCONFIG"));
  GlobalCache::Instance().SetValue("GCP_CUR_SERVERCONFIG", nullptr);
  QUILLON::SetExeDirectory("");
}

INSTANTIATE_TEST_SUITE_P(Concurrency, ConcurrencySession, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "KeptConnections" : "FreshConnections";
                         });

}  // namespace
