// The reference service over TLS (in-process and as the executable), the
// demo over TLS, the command line's CA bundle, and a pushed server list that
// tries to move a TLS server back to clear text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliFixture.h"
#include "exchange/ExchangeTestUtil.h"
#include "facade/ProxyHelper.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tls/TlsTestUtil.h"
#include "tools/cli/Demo.h"

extern char** environ;

namespace {

using exchangetest::AttemptLog;
using exchangetest::UseServers;
using testsupport::TestCertificates;
using tlstest::LoopbackService;

class TlsService : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(certificates_.ok()) << certificates_.error();
  }
  testsupport::TempDir dir_{"proxyhelper-tls-"};
  TestCertificates certificates_{dir_.path()};
};

TEST_F(TlsService, PushedBareListDoesNotDowngradeTheConfiguredTlsServer) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  const int port = testsupport::ReserveClosedPort("127.0.0.1");
  ASSERT_NE(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  devserver::ServiceOptions options;
  // What a service that knows nothing of TLS pushes: bare entries.
  options.defaultLoginServer = address;
  options.loginServers = address + ";http://" + address + ";127.0.0.2:8080";
  LoopbackService service("127.0.0.1", &files, options);
  ASSERT_TRUE(service.Start(port));
  UseServers({"https://" + address});
  tlstest::TrustTestCa(certificates_);

  VPErrorInfo error;
  ASSERT_EQ(ProxyHelper::Instance().SignIn(UserIdentity{"alice", "alice-pw"}, error), 0) << error.errdesc;
  UserInfo info;
  ASSERT_EQ(ProxyHelper::Instance().GetUserInfo(info), 0);
  EXPECT_EQ(info.username, "alice");

  const std::vector<CLoginServers::Server> pushed = CLoginServers::Instance().GetServers();
  ASSERT_EQ(pushed.size(), 3u);
  EXPECT_EQ(pushed[0].host + ":" + std::to_string(pushed[0].port), address);
  EXPECT_TRUE(pushed[0].secure);
  EXPECT_TRUE(pushed[1].secure);  // even when pushed as "http://"
  EXPECT_EQ(pushed[2].host, "127.0.0.2");
  EXPECT_FALSE(pushed[2].secure);

  // The next request still goes over TLS.
  AttemptLog log;
  std::string version;
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), 0);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{service.Url("/vpn_intl/getversion.php")}));
}

TEST_F(TlsService, UnusableTlsFilesStopTheServerFromStarting) {
  const devserver::TlsFiles good = certificates_.IssueLoopback("server");
  const devserver::TlsFiles other = certificates_.IssueLoopback("other");
  struct Case {
    const char* name;
    devserver::TlsFiles files;
  };
  const std::vector<Case> cases = {
      {"missing certificate", {dir_.path() + "/none.pem", good.privateKeyFile}},
      {"missing key", {good.certificateFile, dir_.path() + "/none.key"}},
      {"key of another certificate", {good.certificateFile, other.privateKeyFile}},
      {"garbage", {dir_.Write("junk.pem", "junk\n"), dir_.Write("junk.key", "junk\n")}},
  };
  devserver::SeedData seed;
  std::string error;
  ASSERT_TRUE(devserver::ParseSeed(tlstest::kSeed, &seed, &error)) << error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    devserver::AccountService service(seed, devserver::ServiceOptions());
    devserver::DevServer server(&service);
    server.SetTlsFiles(c.files);
    devserver::ListenSpec spec;
    spec.host = "127.0.0.1";
    spec.tls = true;
    error.clear();
    EXPECT_FALSE(server.Start({spec}, &error));
    EXPECT_NE(error.find("TLS"), std::string::npos) << error;
    EXPECT_TRUE(server.listeners().empty());
  }
}

#ifdef PROXYHELPER_DEVSERVER_BINARY

// The executable as a child process, its standard output on a pipe.
class DevServerProcess {
 public:
  explicit DevServerProcess(const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv = {PROXYHELPER_DEVSERVER_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    if (posix_spawn(&pid_, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~DevServerProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  bool started() const { return pid_ > 0; }

  // The first line on standard output within `ms` milliseconds, or "".
  std::string ReadLine(int ms) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (line.find('\n') == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      pollfd watched{out_, POLLIN, 0};
      if (left <= 0 || poll(&watched, 1, static_cast<int>(left)) <= 0) return std::string();
      char c = 0;
      if (read(out_, &c, 1) != 1) return std::string();
      line.push_back(c);
    }
    line.pop_back();
    return line;
  }

  // The exit status within `ms` milliseconds, or -1.
  int Wait(int ms) {
    for (int waited = 0; waited <= ms; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }
  void Stop() { kill(pid_, SIGTERM); }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
};

TEST_F(TlsService, ExecutableServesHttpsWithTheGivenFiles) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  DevServerProcess child({"--listen", "127.0.0.1:0", "--tls-cert", files.certificateFile, "--tls-key",
                          files.privateKeyFile, "--quiet"});
  ASSERT_TRUE(child.started());
  const std::string line = child.ReadLine(10000);
  const std::string prefix = "listening on https://127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  const std::string entry = line.substr(std::string("listening on ").size());

  UseServers({entry});
  tlstest::TrustTestCa(certificates_);
  std::string version;
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), 0);
  EXPECT_FALSE(version.empty());
  // The same port in clear text gets no answer.
  CLoginServers::Instance().Clear();
  UseServers({line.substr(std::string("listening on https://").size())});
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), RESULT_TRANSPORT_FAILURE);

  child.Stop();
  EXPECT_EQ(child.Wait(10000), 0);
}

TEST_F(TlsService, ExecutableRefusesHalfATlsSetting) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", "127.0.0.1:0", "--tls-cert", files.certificateFile},
      {"--listen", "127.0.0.1:0", "--tls-key", files.privateKeyFile},
      {"--listen", "127.0.0.1:0", "--tls-cert", dir_.path() + "/none.pem", "--tls-key", files.privateKeyFile},
      {"--listen", "127.0.0.1:0", "--tls-cert", files.privateKeyFile, "--tls-key",
       files.privateKeyFile},  // a key is no certificate
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[2] + " " + args[3]);
    DevServerProcess child(args);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(10000), 2);
    EXPECT_EQ(child.ReadLine(100), "");  // never claimed to listen
  }
}

#endif  // PROXYHELPER_DEVSERVER_BINARY

}  // namespace

namespace clitest {
namespace {

TEST_F(CliTest, DemoRunsTheWholeStoryOverTls) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  proxycli::Console console{in, out, err, false, false};
  proxycli::DemoOptions options;
  options.tls = true;
  EXPECT_EQ(proxycli::RunDemo(options, console), 0) << out.str() << err.str();
  const std::string transcript = out.str();
  EXPECT_EQ(transcript.find("FAILED"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("over TLS"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("live on https://127.0.0.1:"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("demo: 20 of 20 steps ok\n"), std::string::npos) << transcript;
  // The throwaway CA is no longer trusted once the demo is over.
  std::string bundle;
  EXPECT_EQ(GlobalCache::Instance().GetConfigItem("GC_CA_BUNDLE", bundle), 0);
}

TEST_F(CliTest, DemoOverTlsAsJsonFromTheCommandLine) {
  const Outcome outcome = Run({"--json", "demo", "--tls"});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  const nlohmann::json doc = outcome.Json();
  ASSERT_TRUE(doc.is_object()) << outcome.out;
  EXPECT_EQ(doc["tls"], true);
  EXPECT_EQ(doc["failed"], 0);
  ASSERT_EQ(doc["steps"].size(), 20u);
}

TEST_F(CliTest, CaBundleOptionLetsTheToolTrustAPrivateCa) {
  unsetenv("PROXYHELPER_CA_BUNDLE");
  testsupport::TempDir dir("proxyhelper-tls-");
  ASSERT_TRUE(dir.ok());
  TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  tlstest::LoopbackService service("127.0.0.1", &files);
  ASSERT_TRUE(service.Start());

  const Outcome trusted =
      Run({"--servers", service.Entry(), "--ca-bundle", certificates.CaFile(), "version"});
  EXPECT_EQ(trusted.status, 0) << trusted.out << trusted.err;
  EXPECT_NE(trusted.out.find(service.version()), std::string::npos) << trusted.out;

  // Without the option the system store decides: no server reachable.
  const Outcome untrusted = Run({"--servers", service.Entry(), "version"});
  EXPECT_EQ(untrusted.status, 3) << untrusted.out << untrusted.err;

  // The environment names it as well.
  setenv("PROXYHELPER_CA_BUNDLE", certificates.CaFile().c_str(), 1);
  EXPECT_EQ(Run({"--servers", service.Entry(), "version"}).status, 0);
  unsetenv("PROXYHELPER_CA_BUNDLE");
  EXPECT_EQ(service.Handled(), 2);
}

}  // namespace
}  // namespace clitest
