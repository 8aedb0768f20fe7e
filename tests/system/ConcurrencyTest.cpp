// The process-wide state used from several threads at once (run under
// ThreadSanitizer in CI): the host library's objects, the key-letter
// counter, and commands that share the current-server position. Every read
// sees a value some writer stored whole, nothing is lost or counted twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "protection/KeyLetters.h"
#include "support/CommandProbe.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"

namespace {

constexpr int kThreads = 6;
constexpr int kRounds = 1500;

// Runs `body(thread)` on `threads` threads released together.
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

// ---- the host library -------------------------------------------------------

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
      cache.SetValue("GCP_SHARED", &cache);

      std::string read;
      if (cache.GetConfigItem(own, read) != 1 || read != value) ++wrongOwn;
      int back = -1;
      if (cache.GetConfigItem(own + "_INT", back) != 1 || back != i) ++wrongOwn;
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
  EXPECT_EQ(cache.GetValue("GCP_SHARED"), &cache);
}

TEST(ConcurrencyGlobalCache, ClientConfigurationReplacedWhileRead) {
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetClientCfg("agent-0", "ver-0");
  std::atomic<int> bad{0};
  RunTogether(kThreads, [&](int t) {
    for (int i = 0; i < kRounds / 3; ++i) {
      // Two writers, the others read.
      if (t < 2) {
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

// ---- the key-letter counter -------------------------------------------------

// Letters drawn by `threads` threads, `perThread` each.
std::map<char, int> Draw(int threads, int perThread, char (*draw)()) {
  std::mutex mutex;
  std::map<char, int> counts;
  RunTogether(threads, [&](int) {
    std::map<char, int> local;
    for (int i = 0; i < perThread; ++i) ++local[draw()];
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& entry : local) counts[entry.first] += entry.second;
  });
  return counts;
}

// The letter `draws` steps after `letter` in the rotation.
std::string LetterAfter(const std::string& letter, int draws) {
  const std::string rotation = "ABC";
  return std::string(1, rotation[(rotation.find(letter) + draws) % 3]);
}

TEST(ConcurrencyKeyLetters, DrawsSplitIntoExactThirds) {
  const std::string before = NextKeyLetter();
  const std::map<char, int> counts = Draw(8, 3000, [] { return NextKeyLetter()[0]; });
  EXPECT_EQ(counts, (std::map<char, int>{{'A', 8000}, {'B', 8000}, {'C', 8000}}));
  // The rotation carries on from where the threads left it.
  EXPECT_EQ(NextKeyLetter(), LetterAfter(before, 24001));
}

TEST(ConcurrencyKeyLetters, KeyedBodiesFromManyThreadsUseEveryKeyEqually) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "key-a");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "key-b");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "key-c");
  const std::map<char, int> counts =
      Draw(4, 300, [] { return EncodeBody("agent=x&lang=en&username=u&", 2)[0]; });
  EXPECT_EQ(counts, (std::map<char, int>{{'A', 400}, {'B', 400}, {'C', 400}}));
}

TEST(ConcurrencyKeyLetters, UnkeyedBodiesAdvanceTheRotationToo) {
  const std::string before = NextKeyLetter();
  const std::map<char, int> counts = Draw(4, 301, [] { return EncodeBody("a=b&", 1)[0]; });
  EXPECT_EQ(counts, (std::map<char, int>{{'Z', 1204}}));
  EXPECT_EQ(NextKeyLetter(), LetterAfter(before, 1205));
}

// ---- commands sharing the current server ------------------------------------
// A failover in one thread moves the starting server of the others.
// Whatever the interleaving, each success is exactly one request answered by
// a live server, and no request is lost or sent twice.

constexpr int kCommandThreads = 4;
constexpr int kCommandsPerThread = 20;

struct Tally {
  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};
  std::atomic<int> wrong{0};  // a result or a server that must not occur
};

std::unique_ptr<testsupport::ScriptedServer> LiveServer(const std::string& address,
                                                        const std::string& version) {
  auto server = std::make_unique<testsupport::ScriptedServer>(
      address,
      testsupport::Script::Respond(200, testsupport::UnkeyedReply("result=0\nver=" + version + "\n")));
  return server->Start() ? std::move(server) : nullptr;
}

void RunCommands(const std::set<std::string>& live, Tally& tally) {
  RunTogether(kCommandThreads, [&](int) {
    for (int i = 0; i < kCommandsPerThread; ++i) {
      testsupport::ProbedCmd command("", 80);
      command.SetScript("/vpn_intl/getversion.php");
      command.AddParam("agent", "concurrency");
      const int result = command.Execute(0);
      if (result == 0) {
        ++tally.succeeded;
        if (live.count(command.Server()) == 0 || !command.IsSucceeded()) ++tally.wrong;
      } else if (result == RESULT_TRANSPORT_FAILURE) {
        ++tally.failed;
      } else {
        ++tally.wrong;
      }
    }
  });
}

TEST(ConcurrencyCommands, AllServersLiveEveryCommandSucceedsOnce) {
  auto first = LiveServer("127.0.0.1", "1");
  auto second = LiveServer("127.0.0.2", "2");
  ASSERT_TRUE(first && second);
  ASSERT_EQ(CLoginServers::Instance().Parse(first->HostPort() + ";" + second->HostPort(), true), 2);
  Tally tally;
  RunCommands({first->HostPort(), second->HostPort()}, tally);
  first->Stop();
  second->Stop();
  EXPECT_EQ(tally.wrong.load(), 0);
  EXPECT_EQ(tally.failed.load(), 0);
  EXPECT_EQ(tally.succeeded.load(), kCommandThreads * kCommandsPerThread);
  // No failover happened: every request went to the first server.
  EXPECT_EQ(first->Requests().size(), static_cast<std::size_t>(kCommandThreads * kCommandsPerThread));
  EXPECT_EQ(second->Requests().size(), 0u);
  for (const auto& request : first->Requests()) {
    EXPECT_EQ(request.target, "/vpn_intl/getversion.php");
    EXPECT_EQ(request.body.compare(0, 2, "Z="), 0);
  }
}

// Failover is the library's promise under threads too: while one server of
// the list answers, every operation succeeds, however the others push the
// shared position round. Eight threads through the public interface, a list
// of a refused port, a server answering 503 and a healthy one.
TEST(ConcurrencyCommands, FailoverHoldsForEveryOperationOfEveryThread) {
  constexpr int kThreads = 8;
  constexpr int kOperations = 40;
  const int deadPort = testsupport::ReserveClosedPort("127.0.0.1");
  ASSERT_NE(deadPort, 0);
  const std::string dead = "127.0.0.1:" + std::to_string(deadPort);
  testsupport::ScriptedServer unavailable("127.0.0.2", testsupport::Script::Respond(503, "busy"));
  auto healthy = LiveServer("127.0.0.3", "3");
  ASSERT_TRUE(unavailable.Start() && healthy);
  for (bool reparsed : {false, true}) {
    SCOPED_TRACE(reparsed ? "list parsed again" : "first run");
    ASSERT_EQ(CLoginServers::Instance().Parse(dead + ";" + unavailable.HostPort() + ";" + healthy->HostPort(),
                                              true),
              3);
    const std::size_t answeredBefore = healthy->Requests().size();
    std::atomic<int> succeeded{0};
    std::atomic<int> wrongVersion{0};
    RunTogether(kThreads, [&](int) {
      for (int i = 0; i < kOperations; ++i) {
        std::string version;
        if (ProxyHelper::Instance().GetVersion(version) == 0) {
          ++succeeded;
          if (version != "3") ++wrongVersion;
        }
      }
    });
    EXPECT_EQ(succeeded.load(), kThreads * kOperations);
    EXPECT_EQ(wrongVersion.load(), 0);
    // One request per operation reached the healthy server: none twice.
    EXPECT_EQ(healthy->Requests().size() - answeredBefore, static_cast<std::size_t>(kThreads * kOperations));
  }
  unavailable.Stop();
  healthy->Stop();
}

}  // namespace
