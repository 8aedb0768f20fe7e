// The proxyhelper-devserver executable: start-up output, request log,
// clean stop on SIGTERM and SIGINT, and refusal of bad arguments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

#ifdef PROXYHELPER_DEVSERVER_BINARY

// A child process with its standard output and error on pipes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv = {PROXYHELPER_DEVSERVER_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    if (posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Child() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  bool started() const { return pid_ > 0; }

  // The next line on standard output, waiting at most `ms` milliseconds.
  std::string ReadLine(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (outBuffer_.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      if (left <= 0 || !ReadSome(out_, &outBuffer_, static_cast<int>(left))) return std::string();
    }
    const std::string line = outBuffer_.substr(0, outBuffer_.find('\n'));
    outBuffer_.erase(0, line.size() + 1);
    return line;
  }

  // Waits at most `ms` milliseconds for the exit; the exit status, or -1.
  int Wait(int ms) {
    for (int waited = 0; waited <= ms; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // Everything the child wrote on standard error (after it has exited).
  std::string Stderr() {
    std::string text;
    while (ReadSome(err_, &text, 1000)) {
    }
    return text;
  }

  void Signal(int signal) { kill(pid_, signal); }

 private:
  static bool ReadSome(int fd, std::string* into, int ms) {
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, ms) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    into->append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int status_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
};

TEST(ExecutableTest, ServesLogsAndStopsCleanlyOnEachSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Child child({"--listen", "127.0.0.1:0", "--listen", "127.0.0.2:0", "--fault", "127.0.0.2:0=500"});
    ASSERT_TRUE(child.started());
    const std::string first = child.ReadLine(10000);
    const std::string second = child.ReadLine(10000);
    ASSERT_EQ(first.rfind("listening on 127.0.0.1:", 0), 0u) << first;
    EXPECT_EQ(second.rfind("listening on 127.0.0.2:", 0), 0u) << second;
    EXPECT_NE(second.find("fault=500"), std::string::npos) << second;
    const int port = std::stoi(first.substr(std::string("listening on 127.0.0.1:").size()));

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(2);
    const std::string body = devserver_test::RequestBody(
        devserver_test::FormText({{"password", "alice-pass"}, {"username", "alice"}}), 'Z');
    auto res = client.Post("/vpn_intl/loginin.php", body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(devserver_test::ReadAsClient(res->body).Result(), 0) << "built-in seed has alice";

    child.Signal(signal);
    EXPECT_EQ(child.Wait(10000), 0);
    const std::string log = child.Stderr();
    EXPECT_NE(log.find("loginin.php Z password=*** username=alice -> result=0"), std::string::npos) << log;
    EXPECT_EQ(log.find("alice-pass"), std::string::npos) << log;
    EXPECT_EQ(log.find("warning"), std::string::npos) << "loopback only: " << log;
  }
}

TEST(ExecutableTest, RefusesBadArgumentsAndSeeds) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string badSeed = dir.Write("bad.ini", "[service]\nversion=1\nnot an item\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", "nowhere"},
      {"--listen", "127.0.0.1:0", "--fault", "127.0.0.1:0=teapot"},
      {"--listen", "127.0.0.1:0", "--fault", "127.0.0.2:0=500"},
      {"--listen", "127.0.0.1:0", "--keys", "a,b"},
      {"--listen", "127.0.0.1:0", "--seed", dir.path() + "/missing.ini"},
      {"--listen", "127.0.0.1:0", "--seed", badSeed},
      {"--listen", "127.0.0.1:0", "--catalogue", "-1"},
      {"--no-such-option"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    Child child(args);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(10000), 2) << "every usage error exits 2, at once";
    EXPECT_TRUE(child.ReadLine(100).empty()) << "nothing may be listening";
  }
  Child seedError({"--listen", "127.0.0.1:0", "--seed", badSeed});
  ASSERT_TRUE(seedError.started());
  EXPECT_EQ(seedError.Wait(10000), 2);
  EXPECT_NE(seedError.Stderr().find("line 3"), std::string::npos);
}

#else

TEST(ExecutableTest, NotBuilt) { GTEST_SKIP() << "proxyhelper-devserver is not part of this build"; }

#endif

}  // namespace
