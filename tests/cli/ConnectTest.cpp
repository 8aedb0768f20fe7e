// `connect`: the lease is handed back however the loop ends — duration,
// a stop request, or a real SIGINT.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

#include "cli/CliFixture.h"
#include "facade/ProxyHelper.h"
#include "tools/cli/CommandRunner.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/StopSignal.h"

namespace clitest {
namespace {

using std::chrono::milliseconds;

// Ends when the lease is released or after a bound, whichever comes first.
constexpr auto kBound = std::chrono::seconds(10);

class ConnectTest : public CliTest {
 protected:
  proxycli::Settings CarolSettings(bool json) const {
    proxycli::Settings settings;
    settings.servers = server_.LiveAddress();
    settings.user = "carol";
    settings.password = "carol-pw";
    settings.json = json;
    return settings;
  }

  // The lease was handed back with outcome 0 before the session ended.
  void ExpectReleasedThenSignedOut() {
    const int release = LastRequest("releasedialupinfo.php -> result=0: parsed");
    const int logout = LastRequest("logout.php -> result=0: parsed");
    EXPECT_GE(release, 0) << ::testing::PrintToString(Requests());
    EXPECT_GT(logout, release) << ::testing::PrintToString(Requests());
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

TEST_F(ConnectTest, DurationEndsTheLoopAndReleases) {
  StartService();
  const Outcome outcome =
      Run(Carol({"--json", "connect", "--server-id", "7", "--interval", "0.05", "--duration", "0.3"}));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const nlohmann::json doc = outcome.Json();
  EXPECT_EQ(doc["lendusername"], "lend7");
  EXPECT_EQ(doc["lendpassword"], "pw7");
  EXPECT_EQ(doc["leased"], true);
  EXPECT_EQ(doc["released"], true);
  EXPECT_EQ(doc["stop_reason"], "duration reached");
  EXPECT_GE(doc["handshakes_ok"].get<int>(), 1);
  EXPECT_EQ(doc["handshakes_failed"], 0);
  ExpectReleasedThenSignedOut();
  EXPECT_EQ(LeaseServer7Again(), 0);
}

TEST_F(ConnectTest, TextModePrintsCredentialsStatusAndRelease) {
  StartService();
  const Outcome outcome =
      Run(Carol({"connect", "--server-id", "7", "--interval", "0.05", "--duration", "0.2"}));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("leased server 7: user lend7 password pw7\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("server 7 as lend7: 1 handshake ok\n"), std::string::npos) << outcome.out;
  EXPECT_NE(outcome.out.find("released (duration reached"), std::string::npos) << outcome.out;
}

TEST_F(ConnectTest, UnknownServerIsRefusedAndSignsOut) {
  StartService();
  const Outcome outcome = Run(Carol({"--json", "connect", "--server-id", "12345", "--duration", "1"}));
  EXPECT_EQ(outcome.status, 1);
  const nlohmann::json doc = outcome.Json();
  EXPECT_EQ(doc["errors"][0]["operation"], "GetDailupInfo");
  EXPECT_EQ(doc["leased"], false);
  EXPECT_EQ(doc["released"], false);
  EXPECT_EQ(LastRequest("releasedialupinfo.php -> result=0: parsed"), -1);
  EXPECT_GE(LastRequest("logout.php -> result=0: parsed"), 0);
  // Signed out: the session token no longer works.
  UserInfo info;
  EXPECT_EQ(ProxyHelper::Instance().GetUserInfo(info), RESULT_NOT_SUCCEEDED);
}

// Records the loop's progress for the test thread.
class Progress : public proxycli::ConnectEvents {
 public:
  void Leased(const DialupInfo&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    leased_ = true;
    changed_.notify_all();
  }
  void Handshake(int, int succeeded, int) override {
    std::lock_guard<std::mutex> lock(mutex_);
    handshakes_ = succeeded;
    changed_.notify_all();
  }
  bool WaitForHandshakes(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kBound, [&] { return leased_ && handshakes_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool leased_ = false;
  int handshakes_ = 0;
};

TEST_F(ConnectTest, StopRequestReleasesTheLease) {
  StartService();
  const proxycli::Settings settings = CarolSettings(/*json=*/true);
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  proxycli::Console console{in, out, err, false, false};
  proxycli::ConnectOptions options;
  options.serverId = 7;
  options.intervalSeconds = 0.02;  // no duration: only the stop ends it
  Progress progress;
  int status = -1;
  std::thread loop([&] { status = proxycli::CommandRunner(settings, console).Connect(options, &progress); });
  const bool running = progress.WaitForHandshakes(2);
  // What the SIGINT/SIGTERM handler does.
  proxycli::RequestStop();
  loop.join();
  ASSERT_TRUE(running) << err.str();
  EXPECT_EQ(status, 0) << err.str();
  const nlohmann::json doc = nlohmann::json::parse(out.str(), nullptr, false);
  EXPECT_EQ(doc["released"], true) << out.str();
  EXPECT_EQ(doc["stop_reason"], "stopped");
  ExpectReleasedThenSignedOut();
  EXPECT_EQ(LeaseServer7Again(), 0);
}

// Writes one byte to a pipe when the lease is held.
class ReadySignal : public proxycli::ConnectEvents {
 public:
  explicit ReadySignal(int fd) : fd_(fd) {}
  void Handshake(int, int, int) override {
    if (!sent_ && ::write(fd_, "R", 1) == 1) sent_ = true;
  }

 private:
  int fd_;
  bool sent_ = false;
};

// Waits for a byte on `fd` for up to `timeoutMs`.
bool ReadByte(int fd, int timeoutMs, char* byte) {
  pollfd entry{fd, POLLIN, 0};
  if (::poll(&entry, 1, timeoutMs) != 1) return false;
  return ::read(fd, byte, 1) == 1;
}

TEST_F(ConnectTest, SigintInAChildProcessReleasesTheLease) {
  // Fork before any thread exists: the child then owns a clean copy of the
  // process. It learns the service's address through a pipe.
  int addressPipe[2];
  int readyPipe[2];
  ASSERT_EQ(::pipe(addressPipe), 0);
  ASSERT_EQ(::pipe(readyPipe), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(addressPipe[1]);
    ::close(readyPipe[0]);
    std::string address;
    char byte;
    while (ReadByte(addressPipe[0], 10000, &byte) && byte != '\n') address.push_back(byte);
    proxycli::Settings settings = CarolSettings(/*json=*/true);
    settings.servers = address;
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    proxycli::Console console{in, out, err, false, false};
    proxycli::ConnectOptions options;
    options.serverId = 7;
    options.intervalSeconds = 0.05;
    options.durationSeconds = 20;  // far beyond the test's bound: SIGINT must end it
    ReadySignal ready(readyPipe[1]);
    int status = proxycli::CommandRunner(settings, console).Connect(options, &ready);
    const nlohmann::json doc = nlohmann::json::parse(out.str(), nullptr, false);
    if (status == 0 && (doc.is_discarded() || doc["stop_reason"] != "stopped" || doc["released"] != true)) {
      status = 99;
    }
    ::_exit(status);
  }
  ::close(addressPipe[0]);
  ::close(readyPipe[1]);

  StartService();
  const std::string line = server_.LiveAddress() + "\n";
  ASSERT_EQ(::write(addressPipe[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
  char byte = 0;
  const bool ready = ReadByte(readyPipe[0], 10000, &byte);
  ::kill(child, SIGINT);

  int waitStatus = 0;
  pid_t done = 0;
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while ((done = ::waitpid(child, &waitStatus, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  if (done == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &waitStatus, 0);
  }
  ::close(addressPipe[1]);
  ::close(readyPipe[0]);
  ASSERT_TRUE(ready) << "the child never held the lease";
  ASSERT_EQ(done, child) << "the child did not end after SIGINT";
  ASSERT_TRUE(WIFEXITED(waitStatus)) << "killed by signal " << WTERMSIG(waitStatus);
  EXPECT_EQ(WEXITSTATUS(waitStatus), 0);
  ExpectReleasedThenSignedOut();
  EXPECT_EQ(LeaseServer7Again(), 0);
}

}  // namespace
}  // namespace clitest
