// A running `connect` owns the account's session: the other subcommands use
// it through the session socket instead of signing in (which would end it),
// `status` shows it and `disconnect` ends it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "cli/CliFixture.h"
#include "tools/cli/SessionSocket.h"

namespace clitest {
namespace {

class ConnectSessionTest : public CliTest {
 protected:
  // `connect` as a program of its own, holding its lease.
  void StartConnect(ChildProcess* connect) {
    ASSERT_TRUE(connect->SpawnWithPipes(Carol({"--json", "connect", "--server-id", "7", "--interval", "1"})));
    ASSERT_TRUE(connect->WaitForOutput("\"event\":\"handshake\"")) << connect->errors();
  }
  int SignIns() const {
    const std::vector<std::string> requests = Requests();
    return static_cast<int>(std::count(requests.begin(), requests.end(), "loginin.php -> result=0: parsed"));
  }
  proxycli::SessionSocketPlace Place() const {
    return proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/false);
  }
};

mode_t ModeOf(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(ConnectSessionTest, SubcommandsUseTheSessionUntilDisconnect) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  ASSERT_EQ(SignIns(), 1);
  const proxycli::SessionSocketPlace place = Place();
  EXPECT_EQ(ModeOf(place.directory), 0700u);
  EXPECT_EQ(ModeOf(place.socketPath), 0600u);

  const Outcome account = Run(Carol({"account"}));
  EXPECT_EQ(account.status, 0) << account.err;
  EXPECT_EQ(account.out.rfind("account\n", 0), 0u) << account.out;
  const nlohmann::json accountDoc = Run(Carol({"--json", "account"})).Json();
  EXPECT_EQ(accountDoc["user"]["moneyleft"], 42) << accountDoc.dump();
  const Outcome lentServers = Run(Carol({"--json", "servers"}));
  EXPECT_EQ(lentServers.status, 0) << lentServers.err;
  const Outcome ratio = Run(Carol({"--json", "ratio"}));
  EXPECT_EQ(ratio.status, 0) << ratio.err;
  EXPECT_FALSE(ratio.Json()["ratios"].empty()) << ratio.out;

  const Outcome status = Run(Carol({"status"}));
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("server 7 as lend7, up "), std::string::npos) << status.out;
  EXPECT_EQ(status.out.find("pw7"), std::string::npos) << "the password stays with connect";
  const nlohmann::json statusDoc = Run(Carol({"--json", "status"})).Json();
  EXPECT_EQ(statusDoc["server_id"], 7);
  EXPECT_EQ(statusDoc["lendusername"], "lend7");
  EXPECT_GE(statusDoc["handshakes_ok"].get<int>(), 1);
  EXPECT_EQ(statusDoc["last_handshake"]["result"], 0);
  EXPECT_EQ(statusDoc["account_server"], "http://" + server_.LiveAddress()) << statusDoc.dump();

  // None of that signed in again, so connect's session still holds.
  EXPECT_EQ(SignIns(), 1);
  const std::string next = "\"handshakes_ok\":" + std::to_string(statusDoc["handshakes_ok"].get<int>() + 1);
  EXPECT_TRUE(connect.WaitForOutput(next, std::chrono::seconds(3))) << connect.output();

  const Outcome disconnect = Run(Carol({"disconnect"}));
  EXPECT_EQ(disconnect.status, 0) << disconnect.err;
  EXPECT_EQ(disconnect.out, "connect released server 7 and signed out\n");
  // Confirmed means done: released and signed out before the answer.
  EXPECT_GE(LastRequest("logout.php -> result=0: parsed"), 0);
  EXPECT_EQ(connect.Wait(), 0) << connect.errors();
  EXPECT_NE(connect.output().find("\"stop_reason\":\"disconnect requested\""), std::string::npos);
  EXPECT_EQ(connect.output().find("\"handshakes_failed\":1"), std::string::npos) << connect.output();
  EXPECT_EQ(ModeOf(place.socketPath), 0u) << "the socket is removed";

  for (const char* command : {"status", "disconnect"}) {
    const Outcome none = Run(Carol({command}));
    EXPECT_EQ(none.status, 1) << command;
    EXPECT_NE(none.err.find("no connect running for carol"), std::string::npos) << none.err;
  }
  // On its own again: its own sign-in, and the same catalogue as through connect.
  const Outcome ownServers = Run(Carol({"--json", "servers"}));
  EXPECT_EQ(ownServers.status, 0) << ownServers.err;
  EXPECT_EQ(SignIns(), 2);
  EXPECT_EQ(ownServers.out, lentServers.out);
}

TEST_F(ConnectSessionTest, OneConnectPerAccountAndAStaleSocketIsReplaced) {
  StartService();
  // A socket left behind by a connect that was killed: nobody listens.
  const proxycli::SessionSocketPlace place =
      proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/true);
  ASSERT_EQ(place.kind, proxycli::SessionSocketPlace::Kind::kUsable) << place.problem;
  {
    proxycli::OwnedDescriptor stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, place.socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  EXPECT_EQ(Run(Carol({"status"})).status, 1);

  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  EXPECT_EQ(Run(Carol({"status"})).status, 0);
  const Outcome second = Run(Carol({"connect", "--server-id", "7", "--duration", "5"}));
  EXPECT_EQ(second.status, 2);
  EXPECT_NE(second.err.find("already running"), std::string::npos) << second.err;
  EXPECT_EQ(SignIns(), 1);
  // Another account, or another service, has a socket of its own.
  for (const auto& other :
       {std::make_pair(server_.LiveAddress(), std::string("dave")),
        std::make_pair(server_.LiveAddress() + ";backup.example", std::string("carol"))}) {
    EXPECT_NE(proxycli::LocateSessionSocket(other.first, other.second, false).socketPath, place.socketPath);
  }
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0);
}

TEST_F(ConnectSessionTest, SlowOrOversizedClientsDoNotStallConnect) {
  StartService();
  ChildProcess connect;
  ASSERT_NO_FATAL_FAILURE(StartConnect(&connect));
  const std::string path = Place().socketPath;
  auto dial = [&path](proxycli::OwnedDescriptor* socket) {
    std::string error;
    return proxycli::DialSessionSocket(path, socket, &error) == proxycli::DialStatus::kConnected;
  };
  proxycli::OwnedDescriptor silent;
  ASSERT_TRUE(dial(&silent));
  proxycli::OwnedDescriptor oversized;
  ASSERT_TRUE(dial(&oversized));
  ASSERT_TRUE(proxycli::WriteAllBefore(oversized.get(), std::string(proxycli::kMaxRequestBytes + 10, 'x'),
                                       proxycli::SteadyClock::now() + std::chrono::seconds(2)));
  const auto start = proxycli::SteadyClock::now();
  const Outcome status = Run(Carol({"status"}));
  EXPECT_EQ(status.status, 0) << status.err;
  // At most one request time-out (the silent client's) stands in the way.
  EXPECT_LT(proxycli::SteadyClock::now() - start, proxycli::kRequestReadTimeout + std::chrono::seconds(2));
  std::string answer;
  EXPECT_EQ(proxycli::ReadLineBefore(oversized.get(), 1000,
                                     proxycli::SteadyClock::now() + std::chrono::seconds(5), &answer),
            proxycli::LineStatus::kLine);
  EXPECT_NE(answer.find("longer than"), std::string::npos) << answer;
  // The heartbeat went on meanwhile.
  EXPECT_TRUE(connect.WaitForOutput("\"handshakes_ok\":3", std::chrono::seconds(5))) << connect.output();
  EXPECT_EQ(Run(Carol({"disconnect"})).status, 0);
  EXPECT_EQ(connect.Wait(), 0);
}

TEST_F(ConnectSessionTest, UnsafeDirectoryIsRefused) {
  StartService();
  const proxycli::SessionSocketPlace place =
      proxycli::LocateSessionSocket(server_.LiveAddress(), "carol", /*create=*/true);
  ASSERT_EQ(place.kind, proxycli::SessionSocketPlace::Kind::kUsable) << place.problem;
  struct Case {
    const char* what;
    bool (*make)(const std::string& directory);
    const char* message;
  };
  std::vector<Case> cases = {
      {"open to others", [](const std::string& d) { return ::chmod(d.c_str(), 0755) == 0; },
       "open to other users"},
  };
  // Only root can give a directory away.
  if (::getuid() == 0) {
    cases.push_back({"someone else's",
                     [](const std::string& d) { return ::chown(d.c_str(), 65534, 65534) == 0; },
                     "belongs to uid 65534"});
  }
  for (const Case& c : cases) {
    ASSERT_TRUE(c.make(place.directory)) << c.what;
    const std::size_t before = Requests().size();
    const Outcome connect = Run(Carol({"connect", "--server-id", "7", "--duration", "1"}));
    EXPECT_EQ(connect.status, 2) << c.what;
    EXPECT_NE(connect.err.find(c.message), std::string::npos) << connect.err;
    EXPECT_EQ(Requests().size(), before) << "refused before anything is sent";
    // The other subcommands do not trust it either, and sign in on their own.
    const Outcome account = Run(Carol({"account"}));
    EXPECT_EQ(account.status, 0) << account.err;
    EXPECT_NE(account.err.find(c.message), std::string::npos) << account.err;
    ASSERT_EQ(::chmod(place.directory.c_str(), 0700), 0);
    ASSERT_EQ(::chown(place.directory.c_str(), ::getuid(), ::getgid()), 0);
  }
}

TEST_F(ConnectSessionTest, WithoutARuntimeDirectoryConnectRunsAndSaysSoOnce) {
  if (::access(("/run/user/" + std::to_string(::getuid())).c_str(), F_OK) == 0) {
    GTEST_SKIP() << "/run/user/<uid> exists here: the fallback would be used";
  }
  StartService();
  unsetenv("XDG_RUNTIME_DIR");
  const Outcome outcome = Run(Carol({"connect", "--server-id", "7", "--interval", "1", "--duration", "0.2"}));
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  const std::string note = "no session socket";
  const std::size_t first = outcome.err.find(note);
  EXPECT_NE(first, std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find(note, first + 1), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.out.find("released (duration reached"), std::string::npos) << outcome.out;
}

}  // namespace
}  // namespace clitest
