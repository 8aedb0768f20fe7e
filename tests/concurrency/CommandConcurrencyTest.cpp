// Commands on several threads at once against loopback servers. They share
// the process-wide current-server position: a failover in one thread moves
// the starting server of the others. Whatever the interleaving, each success
// is exactly one request answered by a live server, and no request is lost
// or sent twice.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/Cipher.h"
#include "support/ScriptedServer.h"
#include "transport/HttpCmd.h"

namespace {

using testsupport::Script;
using testsupport::ScriptedServer;

constexpr int kThreads = 4;
constexpr int kCommandsPerThread = 20;

struct Tally {
  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};
  std::atomic<int> wrong{0};  // a result or a server that must not occur
};

std::unique_ptr<ScriptedServer> LiveServer(const std::string& address, const std::string& version) {
  auto server = std::make_unique<ScriptedServer>(
      address, Script::Respond(200, "Z=" + Base64Encode("result=0\nver=" + version + "\n")));
  return server->Start() ? std::move(server) : nullptr;
}

void RunCommands(const std::set<std::string>& live, Tally& tally) {
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < kThreads; ++t) {
    pool.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kCommandsPerThread; ++i) {
        CHttpCmd command("", 80);
        command.SetScript("/vpn_intl/getversion.php");
        command.AddParam("agent", "concurrency");
        const int result = command.Execute(0);
        const std::string at = command.GetHost() + ":" + std::to_string(command.GetPort());
        if (result == 0) {
          ++tally.succeeded;
          if (live.count(at) == 0 || !command.IsSucceeded()) ++tally.wrong;
        } else if (result == RESULT_TRANSPORT_FAILURE) {
          ++tally.failed;
        } else {
          ++tally.wrong;
        }
      }
    });
  }
  go = true;
  for (std::thread& thread : pool) thread.join();
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
  EXPECT_EQ(tally.succeeded.load(), kThreads * kCommandsPerThread);
  // No failover happened: every request went to the first server.
  EXPECT_EQ(first->Requests().size(), static_cast<std::size_t>(kThreads * kCommandsPerThread));
  EXPECT_EQ(second->Requests().size(), 0u);
  for (const auto& request : first->Requests()) {
    EXPECT_EQ(request.target, "/vpn_intl/getversion.php");
    EXPECT_EQ(request.body.compare(0, 2, "Z="), 0);
  }
}

TEST(ConcurrencyCommands, FailoverWithADeadServerSharedAcrossThreads) {
  const int deadPort = testsupport::ReserveClosedPort("127.0.0.1");
  ASSERT_NE(deadPort, 0);
  const std::string dead = "127.0.0.1:" + std::to_string(deadPort);
  auto second = LiveServer("127.0.0.2", "2");
  auto third = LiveServer("127.0.0.3", "3");
  ASSERT_TRUE(second && third);
  ASSERT_EQ(CLoginServers::Instance().Parse(dead + ";" + second->HostPort() + ";" + third->HostPort(), true),
            3);
  Tally tally;
  RunCommands({second->HostPort(), third->HostPort()}, tally);
  second->Stop();
  third->Stop();
  EXPECT_EQ(tally.wrong.load(), 0);
  EXPECT_EQ(tally.succeeded.load() + tally.failed.load(), kThreads * kCommandsPerThread);
  EXPECT_GT(tally.succeeded.load(), 0);
  // Live servers always answer well, so they saw exactly the successes.
  EXPECT_EQ(second->Requests().size() + third->Requests().size(),
            static_cast<std::size_t>(tally.succeeded.load()));
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  const std::string current = host + ":" + std::to_string(port);
  EXPECT_TRUE(current == dead || current == second->HostPort() || current == third->HostPort()) << current;
}

}  // namespace
