// The installed program itself, as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "cli/CliFixture.h"
#include "facade/ProxyHelper.h"
#include "tools/cli/ServiceCalls.h"

extern char** environ;

namespace clitest {
namespace {

// Starts the program with `args`, stdout and stderr to `outputPath`, or
// stderr to `errorPath` when one is given.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outputPath,
            const std::string& errorPath = std::string()) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  if (errorPath.empty()) {
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(), O_RDWR | O_NOCTTY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<std::string> all = {PROXYHELPER_CLI_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, PROXYHELPER_CLI_BINARY, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// The child's exit status, or -1 when it did not exit within the bound (it
// is then killed).
int WaitBounded(pid_t pid, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  pid_t done = 0;
  while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done != pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(CliTest, ProgramExitStatuses) {
  StartService(/*deadFirst=*/true);
  const std::string output = home_.path() + "/out.txt";
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--version"}, 0},
      {{"--servers", server_.LiveAddress(), "version"}, 0},
      {{"--servers", server_.LiveAddress(), "-u", "carol", "-p", "no", "account"}, 1},
      {{"no-such-command"}, 2},
      {{"--servers", server_.DeadAddress(), "version"}, 3},
  };
  for (const auto& c : cases) {
    const pid_t pid = Spawn(c.args, output);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(WaitBounded(pid, std::chrono::seconds(20)), c.status) << c.args.back() << "\n"
                                                                    << home_.Read("out.txt");
  }
}

TEST_F(CliTest, SlowOperationShowsAWaitLineOnATerminalOnly) {
  SilentListener silent;
  ASSERT_FALSE(silent.address().empty());
  const struct {
    const char* quiet;  // empty: not quiet
    bool shown;
  } cases[] = {{"", true}, {"-q", false}};
  for (const auto& c : cases) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    std::vector<std::string> args = {"--servers", silent.address(), "--timeout", "1.6", "version"};
    if (c.quiet[0] != '\0') args.insert(args.begin(), c.quiet);
    const pid_t pid = Spawn(args, home_.path() + "/out.txt", ::ptsname(terminal));
    ASSERT_GT(pid, 0);
    // Read the terminal while the program runs, within a bound.
    std::string shown;
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (done == 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{terminal, POLLIN, 0};
      if (::poll(&ready, 1, 50) > 0 && (ready.revents & POLLIN) != 0) {
        char buffer[512];
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n > 0) shown.append(buffer, static_cast<std::size_t>(n));
      }
      done = ::waitpid(pid, &status, WNOHANG);
    }
    if (done == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    for (pollfd ready{terminal, POLLIN, 0}; ::poll(&ready, 1, 100) > 0 && (ready.revents & POLLIN) != 0;) {
      char buffer[512];
      const ssize_t n = ::read(terminal, buffer, sizeof buffer);
      if (n <= 0) break;
      shown.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(terminal);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << shown;
    const std::string line = "\r\xE2\x80\xA6 waiting for " + silent.address() + " (1 s)\033[K";
    EXPECT_EQ(shown.find(line) != std::string::npos, c.shown) << shown;
    // Erased before the failure is told.
    EXPECT_EQ(shown.find("\r\033[Kproxyhelper: GetVersion failed") != std::string::npos, c.shown) << shown;
    EXPECT_NE(shown.find("last attempt " + silent.address() + ": deadline"), std::string::npos) << shown;
  }
}

TEST_F(CliTest, ProgramReleasesItsLeaseOnSigint) {
  StartService();
  const std::string output = home_.path() + "/connect.txt";
  const pid_t pid = Spawn(Carol({"connect", "--server-id", "7", "--interval", "1"}), output);
  ASSERT_GT(pid, 0);
  // Wait (bounded) until the status line shows the lease confirmed.
  bool confirmed = false;
  for (int i = 0; i < 500 && !confirmed; ++i) {
    confirmed = home_.Read("connect.txt").find("handshake ok") != std::string::npos;
    if (!confirmed) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGINT);
  const int status = WaitBounded(pid, std::chrono::seconds(10));
  ASSERT_TRUE(confirmed) << home_.Read("connect.txt");
  EXPECT_EQ(status, 130) << home_.Read("connect.txt");  // 128 + SIGINT, as shells report it
  EXPECT_NE(home_.Read("connect.txt").find("released (stopped"), std::string::npos)
      << home_.Read("connect.txt");
  const int release = LastRequest("releasedialupinfo.php -> result=0: parsed");
  EXPECT_GE(release, 0) << ::testing::PrintToString(Requests());
  EXPECT_GT(LastRequest("logout.php -> result=0: parsed"), release);
  // The one credential of server 7 is free again.
  ProxyHelper& helper = ProxyHelper::Instance();
  CLoginServers::Instance().Parse(server_.LiveAddress(), true);
  VPErrorInfo error;
  ASSERT_EQ(helper.SignIn({"carol", "carol-pw"}, error), 0);
  UserInfo info;
  ASSERT_EQ(helper.GetUserInfo(info), 0);
  proxycli::AdoptPushedServerConfig();  // the library never frees it
  DialupInfo lease;
  EXPECT_EQ(helper.GetDailupInfo(7, lease, error), 0) << error.errdesc;
}

}  // namespace
}  // namespace clitest
