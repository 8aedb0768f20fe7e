// Failover end to end, as a deployment runs it: two reference-service
// processes share one store and push both their addresses; a connect leased
// through the first keeps its lease on the second once the first is killed.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "cli/CliFixture.h"
#include "support/ChildProcess.h"
#include "support/ScriptedServer.h"

namespace clitest {
namespace {

using std::chrono::seconds;

using Service = ServiceProcess;

class FailoverTest : public CliTest {
 protected:
  // One instance on `address`, sharing the store and pushing `list`.
  void StartInstance(Service* service, const std::string& address, const std::string& list) {
    ASSERT_TRUE(service->SpawnWithPipes({"--listen", address, "--db", home_.path() + "/deployment.db",
                                         "--seed", seedFile_, "--login-servers", list}));
    ASSERT_TRUE(service->WaitForOutput("listening on " + address, seconds(10))) << service->errors();
  }

  void SetUp() override {
    CliTest::SetUp();
    seedFile_ = home_.path() + "/seed.ini";
    std::ofstream(seedFile_) << kSeed;
  }

  std::string seedFile_;
};

TEST_F(FailoverTest, ConnectKeepsItsLeaseWhenItsAccountServerIsKilled) {
  const std::string a = "127.0.0.1:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.1"));
  const std::string b = "127.0.0.2:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.2"));
  const std::string list = a + ";" + b;
  Service first;
  Service second;
  ASSERT_NO_FATAL_FAILURE(StartInstance(&first, a, list));
  ASSERT_NO_FATAL_FAILURE(StartInstance(&second, b, list));

  const std::vector<std::string> global = {"--servers", list, "--user", "carol", "--password", "carol-pw"};
  auto with = [&global](std::initializer_list<std::string> rest) {
    std::vector<std::string> args = global;
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  };
  ChildProcess connect;
  ASSERT_TRUE(connect.SpawnWithPipes(with({"--json", "connect", "--server-id", "7", "--interval", "1"})));
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(connect.WaitForOutput("\"handshakes_ok\":" + std::to_string(i), seconds(10)))
        << connect.errors();
  }
  EXPECT_EQ(Run(with({"--json", "status"})).Json()["account_server"], "http://" + a);

  first.Signal(SIGKILL);
  first.Wait();
  // The handshakes go on through the second instance, which knows the
  // session, the lease and the keys from the shared store.
  for (int i = 4; i <= 6; ++i) {
    ASSERT_TRUE(connect.WaitForOutput("\"handshakes_ok\":" + std::to_string(i), seconds(10)))
        << connect.errors();
  }
  const nlohmann::json status = Run(with({"--json", "status"})).Json();
  EXPECT_EQ(status["account_server"], "http://" + b) << status.dump();
  EXPECT_LE(status["handshakes_failed"].get<int>(), 1) << status.dump();

  const Outcome disconnect = Run(with({"disconnect"}));
  EXPECT_EQ(disconnect.status, 0) << disconnect.err;
  EXPECT_EQ(disconnect.out, "connect released server 7 and signed out\n");
  EXPECT_EQ(connect.Wait(), 0) << connect.errors();
}

// A dead entry listed twice is still only one server to get past.
TEST_F(FailoverTest, RepeatedDeadEntriesDoNotStopFailover) {
  StartService();
  const std::string dead = "127.0.0.1:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.1"));
  const std::string live = server_.LiveAddress();
  for (const std::string& list : {dead + ";" + dead + ";" + live, dead + ";http://" + dead + "/;" + live,
                                  dead + ";" + live + ";" + dead}) {
    const Outcome account =
        Run({"--servers", list, "--user", "carol", "--password", "carol-pw", "--json", "account"});
    EXPECT_EQ(account.status, 0) << list << "\n" << account.err;
  }
}

}  // namespace
}  // namespace clitest
