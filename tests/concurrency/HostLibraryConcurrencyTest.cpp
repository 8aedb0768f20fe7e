// The host library's process-wide objects used from several threads at once:
// every read sees a value some writer stored whole, per-thread items keep
// exactly what their thread wrote, and the shared server position moves
// exactly once per step.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/quillon.h"

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 1500;

// Runs `body(thread)` on kThreads threads released together.
template <typename Body>
void RunTogether(int threads, Body body) {
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&go, &body, t] {
      while (!go.load()) std::this_thread::yield();
      body(t);
    });
  }
  go = true;
  for (std::thread& thread : pool) thread.join();
}

// "thread:round" with both numbers in range.
bool IsThreadRound(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  if (text.find_first_not_of("0123456789:") != std::string::npos ||
      text.find(':', colon + 1) != std::string::npos) {
    return false;
  }
  return std::stol(text.substr(0, colon)) < kThreads && std::stol(text.substr(colon + 1)) < kRounds;
}

TEST(ConcurrencyGlobalCache, ItemsAndPointersFromManyThreads) {
  GlobalCache& cache = GlobalCache::Instance();
  std::atomic<int> wrongOwn{0};
  std::atomic<int> tornShared{0};
  std::atomic<int> wrongPointer{0};
  int marker[kThreads] = {};
  RunTogether(kThreads, [&](int t) {
    const std::string own = "GC_THREAD_" + std::to_string(t);
    const std::string pointerName = "GCP_THREAD_" + std::to_string(t);
    for (int i = 0; i < kRounds; ++i) {
      const std::string value = std::to_string(t) + ":" + std::to_string(i);
      cache.SetConfigItem(own, value);
      cache.SetConfigItem("GC_SHARED", value);
      cache.SetConfigItem(own + "_INT", i);
      cache.SetValue(pointerName, &marker[t]);

      std::string read;
      if (cache.GetConfigItem(own, read) != 1 || read != value) ++wrongOwn;
      if (cache.GetConfigInt(own + "_INT", -1) != (i == 0 ? -1 : i)) ++wrongOwn;
      std::string shared;
      cache.GetConfigItem("GC_SHARED", shared);
      // Whoever wrote last, the text is one whole "thread:round".
      if (!IsThreadRound(shared)) ++tornShared;
      if (cache.GetValue(pointerName) != &marker[t]) ++wrongPointer;
      if (i % 7 == 0) cache.RemoveConfigItem(own + "_GONE");
    }
  });
  EXPECT_EQ(wrongOwn.load(), 0);
  EXPECT_EQ(tornShared.load(), 0);
  EXPECT_EQ(wrongPointer.load(), 0);
  for (int t = 0; t < kThreads; ++t) {
    std::string value;
    cache.GetConfigItem("GC_THREAD_" + std::to_string(t), value);
    EXPECT_EQ(value, std::to_string(t) + ":" + std::to_string(kRounds - 1));
    EXPECT_EQ(cache.GetValue("GCP_THREAD_" + std::to_string(t)), &marker[t]);
  }
}

TEST(ConcurrencyGlobalCache, ClientConfigurationReplacedWhileRead) {
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetClientCfg("agent-0", "ver-0");
  std::atomic<int> bad{0};
  RunTogether(kThreads, [&](int t) {
    for (int i = 0; i < kRounds / 3; ++i) {
      if (t == 0) {
        cache.SetClientCfg("agent-" + std::to_string(i), "ver-" + std::to_string(i));
        continue;
      }
      // A configuration handed out earlier stays valid after a replacement.
      const CClientCfg* config = cache.GetClientCfg();
      if (config == nullptr) {
        ++bad;
        continue;
      }
      const std::string agent = config->GetAgent();
      const std::string version = config->GetVersion();
      if (agent.compare(0, 6, "agent-") != 0 || version != "ver-" + agent.substr(6)) ++bad;
    }
  });
  EXPECT_EQ(bad.load(), 0);
  ASSERT_NE(cache.GetClientCfg(), nullptr);
  EXPECT_EQ(cache.GetClientCfg()->GetAgent(), "agent-" + std::to_string(kRounds / 3 - 1));
}

std::vector<std::string> Names(const std::vector<CLoginServers::Server>& servers) {
  std::vector<std::string> names;
  for (const auto& server : servers) names.push_back(server.host + ":" + std::to_string(server.port));
  return names;
}

TEST(ConcurrencyLoginServers, EveryStepMovesTheSharedPositionOnce) {
  CLoginServers& servers = CLoginServers::Instance();
  const std::vector<std::string> list = {"a.example:1", "b.example:2", "c.example:3", "d.example:4",
                                         "e.example:5"};
  ASSERT_EQ(servers.Parse("a.example:1;b.example:2;c.example:3;d.example:4;e.example:5", true), 5);
  constexpr int kSteps = 501;
  std::atomic<int> foreign{0};
  RunTogether(kThreads, [&](int) {
    for (int i = 0; i < kSteps; ++i) {
      std::string host;
      int port = 0;
      servers.GetNextServer(host, port);
      if (std::find(list.begin(), list.end(), host + ":" + std::to_string(port)) == list.end()) ++foreign;
      servers.GetCurrServer(host, port);
    }
  });
  EXPECT_EQ(foreign.load(), 0);
  std::string host;
  int port = 0;
  servers.GetCurrServer(host, port);
  EXPECT_EQ(host + ":" + std::to_string(port), list[(kThreads * kSteps) % list.size()]);
}

TEST(ConcurrencyLoginServers, ReadersSeeOneWholeListWhileItIsReplaced) {
  CLoginServers& servers = CLoginServers::Instance();
  const std::vector<std::string> listA = {"a1.example:80", "a2.example:81", "a3.example:82"};
  const std::vector<std::string> listB = {"b1.example:90", "b2.example:91", "b3.example:92", "b4.example:93",
                                          "b5.example:94"};
  ASSERT_EQ(servers.Parse("a1.example:80 a2.example:81 a3.example:82", true), 3);
  std::atomic<int> mixed{0};
  std::atomic<int> foreign{0};
  RunTogether(kThreads, [&](int t) {
    for (int i = 0; i < kRounds / 3; ++i) {
      if (t == 0) {
        if (i % 2 == 0) {
          servers.Parse("b1.example:90,b2.example:91,b3.example:92,b4.example:93,b5.example:94", true);
        } else {
          servers.Parse("a1.example:80;a2.example:81;a3.example:82", true);
        }
        servers.SetDefaultServer(i % 3 == 0 ? "b2.example:91" : "a2.example:81", false);
        continue;
      }
      const std::vector<std::string> seen = Names(servers.GetServers());
      if (seen != listA && seen != listB) ++mixed;
      const int count = servers.GetServerCount();
      if (count != 3 && count != 5) ++mixed;
      std::string host;
      int port = 0;
      if (t % 2 == 0) {
        servers.GetNextServer(host, port);
      } else {
        servers.GetCurrServer(host, port);
      }
      const std::string name = host + ":" + std::to_string(port);
      if (std::find(listA.begin(), listA.end(), name) == listA.end() &&
          std::find(listB.begin(), listB.end(), name) == listB.end()) {
        ++foreign;
      }
    }
  });
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_EQ(foreign.load(), 0);
}

TEST(ConcurrencyMultiLanguage, TagsReadWhileSet) {
  CMultiLanguage& language = CMultiLanguage::Instance();
  language.SetCurrConfigLanguageTag("en-US");
  const std::set<std::string> tags = {"en-US", "de-DE", "fr-FR", "zh-CN", "ja-JP", "pt-BR"};
  std::atomic<int> foreign{0};
  RunTogether(kThreads, [&](int t) {
    auto tag = tags.begin();
    std::advance(tag, t % tags.size());
    for (int i = 0; i < kRounds; ++i) {
      if (t < 2) {
        language.SetCurrConfigLanguageTag(*tag);
      } else if (tags.count(language.GetCurrConfigLanguageTag()) == 0) {
        ++foreign;
      }
    }
  });
  EXPECT_EQ(foreign.load(), 0);
  EXPECT_EQ(tags.count(language.GetCurrConfigLanguageTag()), 1u);
}

}  // namespace
