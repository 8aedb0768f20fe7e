// `connect`: the lease is handed back however the loop ends — duration, a
// stop request, a signal, a closed output — and --json streams one event
// per line.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/CliFixture.h"
#include "facade/ProxyHelper.h"
#include "tools/cli/ConnectLoop.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/StopSignal.h"

namespace clitest {
namespace {

constexpr auto kBound = std::chrono::seconds(10);

// The JSON objects among `text`'s lines (a terminal adds "\r").
std::vector<nlohmann::json> Events(const std::string& text) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t brace = line.find('{');
    if (brace == std::string::npos) continue;
    const nlohmann::json event = nlohmann::json::parse(line.substr(brace), nullptr, false);
    if (event.is_object()) events.push_back(event);
  }
  return events;
}

std::vector<std::string> EventNames(const std::vector<nlohmann::json>& events) {
  std::vector<std::string> names;
  for (const nlohmann::json& event : events) names.push_back(event.value("event", "?"));
  return names;
}

class ConnectTest : public CliTest {
 protected:
  // The lease was handed back with outcome 0, then the session ended,
  // among the requests from position `from` on.
  void ExpectReleasedThenSignedOut(std::size_t from = 0) {
    const std::vector<std::string> requests = Requests();
    const auto begin = requests.begin() + static_cast<std::ptrdiff_t>(std::min(from, requests.size()));
    const auto release = std::find(begin, requests.end(), "releasedialupinfo.php -> result=0: parsed");
    EXPECT_NE(release, requests.end()) << ::testing::PrintToString(requests);
    EXPECT_NE(std::find(release, requests.end(), "logout.php -> result=0: parsed"), requests.end())
        << ::testing::PrintToString(requests);
  }

  // Server 7 lends exactly one credential: a new lease succeeds only when
  // nothing holds the earlier one any more.
  int LeaseServer7Again() {
    ProxyHelper& helper = ProxyHelper::Instance();
    CLoginServers::Instance().Clear();
    CLoginServers::Instance().Parse(server_.LiveAddress(), true);
    VPErrorInfo error;
    if (helper.SignIn({"carol", "carol-pw"}, error) != 0) return -100;
    UserInfo info;
    if (helper.GetUserInfo(info) != 0) return -101;
    proxycli::AdoptPushedServerConfig();  // the library never frees it
    DialupInfo lease;
    const int result = helper.GetDailupInfo(7, lease, error);
    if (result == 0) helper.ReleaseDialupInfo(0);
    helper.SignOut();
    return result;
  }
};

TEST_F(ConnectTest, JsonStreamsLeaseHandshakesReleaseAndEnd) {
  StartService();
  const Outcome outcome =
      Run(Carol({"--json", "connect", "--server-id", "7", "--interval", "1", "--duration", "1.5"}));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const std::vector<nlohmann::json> events = Events(outcome.out);
  EXPECT_EQ(EventNames(events),
            (std::vector<std::string>{"lease", "handshake", "handshake", "release", "end"}))
      << outcome.out;
  ASSERT_EQ(events.size(), 5u);
  // One object per line, nothing else on stdout.
  EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 5) << outcome.out;
  EXPECT_EQ(events[0]["server_id"], 7);
  EXPECT_EQ(events[0]["lendusername"], "lend7");
  EXPECT_EQ(events[0]["lendpassword"], "pw7");
  EXPECT_EQ(events[2]["result"], 0);
  EXPECT_EQ(events[2]["handshakes_ok"], 2);
  EXPECT_EQ(events[3]["released"], true);
  EXPECT_EQ(events[3]["stop_reason"], "duration reached");
  EXPECT_EQ(events[4]["ok"], true);
  EXPECT_EQ(events[4]["exit_status"], 0);
  ExpectReleasedThenSignedOut();
  EXPECT_EQ(LeaseServer7Again(), 0);
}

TEST_F(ConnectTest, TextModePrintsCredentialsStatusAndRelease) {
  StartService();
  const Outcome outcome = Run(Carol({"connect", "--server-id", "7", "--interval", "1", "--duration", "0.3"}));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("leased server 7 (Beta 7, b7.example): user lend7 password pw7\n"),
            std::string::npos)
      << outcome.out;
  EXPECT_NE(outcome.out.find("server 7 as lend7: 1 handshake ok\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("released (duration reached"), std::string::npos) << outcome.out;
}

TEST_F(ConnectTest, UnknownServerIsRefusedAndSignsOut) {
  StartService();
  const Outcome outcome = Run(Carol({"--json", "connect", "--server-id", "12345", "--duration", "1"}));
  EXPECT_EQ(outcome.status, 1);
  const std::vector<nlohmann::json> events = Events(outcome.out);
  ASSERT_EQ(EventNames(events), std::vector<std::string>{"end"}) << outcome.out;
  EXPECT_EQ(events[0]["errors"][0]["operation"], "GetDailupInfo");
  EXPECT_EQ(events[0]["exit_status"], 1);
  EXPECT_EQ(events[0]["leased"], false);
  EXPECT_EQ(LastRequest("releasedialupinfo.php -> result=0: parsed"), -1);
  EXPECT_GE(LastRequest("logout.php -> result=0: parsed"), 0);
}

TEST_F(ConnectTest, TimesAreCheckedBeforeAnythingIsSent) {
  StartService();
  const struct {
    const char* option;
    std::vector<const char*> values;
  } cases[] = {
      // A handshake at most once a second.
      {"--interval", {"0.001", "0.999", "0", "1e10", "nan", "inf", "-1", "2592001", "x"}},
      {"--duration", {"0", "1e10", "nan", "inf", "-inf", "-1", "2592001", "x"}},
  };
  for (const auto& c : cases) {
    for (const char* value : c.values) {
      // "=" keeps "-1" from reading as an option of its own.
      const Outcome outcome =
          Run(Carol({"connect", "--server-id", "7", std::string(c.option) + "=" + value}));
      EXPECT_EQ(outcome.status, 2) << c.option << " " << value;
      EXPECT_NE(outcome.err.find(c.option), std::string::npos) << outcome.err;
    }
  }
  EXPECT_TRUE(Requests().empty()) << ::testing::PrintToString(Requests());
}

// Records the loop's progress for the test thread.
class Progress : public proxycli::ConnectEvents {
 public:
  void Handshake(int, int succeeded, int) override {
    std::lock_guard<std::mutex> lock(mutex_);
    handshakes_ = succeeded;
    changed_.notify_all();
  }
  bool WaitForHandshakes(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return handshakes_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int handshakes_ = 0;
};

TEST_F(ConnectTest, StopRequestReleasesTheLease) {
  StartService();
  proxycli::Settings settings;
  settings.servers = server_.LiveAddress();
  settings.user = "carol";
  settings.password = "carol-pw";
  settings.json = true;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  proxycli::Console console{in, out, err, false, false};
  proxycli::ConnectOptions options;
  options.serverId = 7;
  options.intervalSeconds = 0.02;  // in-process callers may go below the command line's second
  Progress progress;
  int status = -1;
  std::thread loop([&] { status = proxycli::RunConnect(settings, console, options, &progress); });
  const bool running = progress.WaitForHandshakes(2);
  // What a disconnect request or a signal handler does.
  proxycli::RequestStop();
  loop.join();
  ASSERT_TRUE(running) << err.str();
  EXPECT_EQ(status, 0) << err.str();
  const std::vector<nlohmann::json> events = Events(out.str());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["released"], true) << out.str();
  EXPECT_EQ(events.back()["stop_reason"], "stopped");
  ExpectReleasedThenSignedOut();
  EXPECT_EQ(LeaseServer7Again(), 0);
}

// The program on a terminal of its own, stopped the ways a person stops it.
TEST_F(ConnectTest, SignalsReleaseAndSignOutWithTheShellsStatus) {
  StartService();
  enum class Stop { kControlC, kTerminate, kCloseTerminal };
  const struct {
    Stop how;
    int status;
    const char* reason;
  } cases[] = {
      {Stop::kControlC, 130, "stopped by SIGINT"},
      {Stop::kTerminate, 143, "stopped by SIGTERM"},
      {Stop::kCloseTerminal, 129, nullptr},  // nothing can be read after that
  };
  for (const auto& c : cases) {
    ChildProcess connect;
    ASSERT_TRUE(connect.SpawnOnTerminal(Carol({"--json", "connect", "--server-id", "7", "--interval", "1"})));
    ASSERT_TRUE(connect.WaitForOutput("\"event\":\"handshake\"")) << connect.output();
    const std::size_t before = Requests().size();
    switch (c.how) {
      case Stop::kControlC:
        ASSERT_TRUE(connect.Type("\x03"));
        break;
      case Stop::kTerminate:
        ::kill(connect.pid(), SIGTERM);
        break;
      case Stop::kCloseTerminal:
        connect.CloseOutput();
        break;
    }
    if (c.reason != nullptr) {
      EXPECT_TRUE(connect.WaitForOutput(std::string("\"stop_reason\":\"") + c.reason + "\""))
          << connect.output();
    }
    EXPECT_EQ(connect.Wait(), c.status) << connect.output();
    ExpectReleasedThenSignedOut(before);
  }
  EXPECT_EQ(LeaseServer7Again(), 0);
}

TEST_F(ConnectTest, ClosedOutputReleasesAndSignsOut) {
  StartService();
  ChildProcess connect;
  ASSERT_TRUE(connect.SpawnWithPipes(Carol({"--json", "connect", "--server-id", "7", "--interval", "1"})));
  ASSERT_TRUE(connect.WaitForOutput("\"event\":\"lease\"")) << connect.errors();
  // A script that read what it needed and went away (head -n1).
  connect.CloseOutput();
  EXPECT_EQ(connect.Wait(), 128 + SIGPIPE) << connect.errors();
  ExpectReleasedThenSignedOut();
  EXPECT_EQ(LeaseServer7Again(), 0);
}

}  // namespace
}  // namespace clitest
