// `connect` as a tunnel runs it: it signs in and leases again when a
// restarted service forgot its session, gives up when told to, runs the up
// and down hooks around each confirmed lease however it ends, and leaves
// alone the signals its starter ignored.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliFixture.h"
#include "support/ChildProcess.h"
#include "support/ScriptedServer.h"

namespace clitest {
namespace {

using std::chrono::seconds;

using Service = ServiceProcess;

// What each hook run saw: "<hook>|<reason>|<id>|<name>|<address>|<location>|<lend user>|<stdin>".
constexpr char kRecordHook[] =
    "read -r pw; echo "
    "\"$PROXYHELPER_HOOK|$PROXYHELPER_REASON|$PROXYHELPER_SERVER_ID|$PROXYHELPER_SERVER_NAME|"
    "$PROXYHELPER_SERVER_ADDRESS|$PROXYHELPER_SERVER_LOCATION|$PROXYHELPER_LEND_USER|$pw\" >> ";

class ConnectRecoveryTest : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    hookLog_ = home_.path() + "/hooks.log";
    address_ = "127.0.0.1:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.1"));
  }

  // A service process with a store in memory only: restarting it forgets
  // every session and lease.
  void StartProcess(Service* service, const std::string& seed = kSeed) {
    const std::string seedFile = home_.path() + "/seed.ini";
    std::ofstream(seedFile, std::ios::trunc) << seed;
    ASSERT_TRUE(service->SpawnWithPipes({"--listen", address_, "--db", ":memory:", "--seed", seedFile}));
    ASSERT_TRUE(service->WaitForOutput("listening on " + address_, seconds(10))) << service->errors();
  }

  // Both hooks record what they saw, unless `up` replaces the first.
  std::vector<std::string> Connect(const std::vector<std::string>& rest, const std::string& up = "") const {
    std::vector<std::string> args = {"--servers",   address_,
                                     "--user",      "carol",
                                     "--password",  "carol-pw",
                                     "--json",      "connect",
                                     "--server-id", "7",
                                     "--interval",  "1",
                                     "--up",        up.empty() ? kRecordHook + hookLog_ : up,
                                     "--down",      kRecordHook + hookLog_};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  std::vector<std::string> HookRuns() const {
    std::vector<std::string> runs;
    std::ifstream log(hookLog_);
    for (std::string line; std::getline(log, line);) runs.push_back(line);
    return runs;
  }

  std::string hookLog_;
  std::string address_;
};

const std::string kUp = "up||7|Beta 7|b7.example|Here|lend7|pw7";
std::string Down(const std::string& reason) {
  return "down|" + reason + "|7|Beta 7|b7.example|Here|lend7|pw7";
}

// The service dies under a confirmed lease: restarted with an empty store it
// is recovered from; with the password changed meanwhile, or gone for good
// past --give-up-after, connect ends.
TEST_F(ConnectRecoveryTest, RestartedServiceIsRecoveredFromAndOtherwiseEnds) {
  const struct {
    const char* name;
    const char* restartPassword;  // null: the service stays away
    std::vector<std::string> extra;
    int status;
    const char* failedOperation;  // null: none failed
    std::vector<std::string> hooks;
  } cases[] = {
      {"restarted", "carol-pw", {}, 0, nullptr, {kUp, Down("lease lost"), kUp, Down("disconnect requested")}},
      {"password changed meanwhile", "new-pw", {}, 1, "SignIn", {kUp, Down("lease lost")}},
      {"service gone", nullptr, {"--give-up-after", "2"}, 3, "ShakeHands", {kUp, Down("gave up")}},
  };
  for (const auto& c : cases) {
    std::remove(hookLog_.c_str());
    Service first;
    ASSERT_NO_FATAL_FAILURE(StartProcess(&first));
    ChildProcess connect;
    ASSERT_TRUE(connect.SpawnWithPipes(Connect(c.extra)));
    ASSERT_TRUE(connect.WaitForOutput("\"hook\":\"up\"", seconds(10))) << connect.errors();
    first.Signal(SIGKILL);
    first.Wait();
    Service second;
    if (c.restartPassword != nullptr) {
      std::string seed = kSeed;
      seed.replace(seed.find("password=carol-pw"), 17, std::string("password=") + c.restartPassword);
      ASSERT_NO_FATAL_FAILURE(StartProcess(&second, seed));
    }
    if (c.status == 0) {
      // Signed in and leased again: the second up hook has run.
      ASSERT_TRUE(connect.WaitForOutput("\"lease_number\":2", seconds(20))) << connect.errors();
      ASSERT_TRUE(connect.WaitForOutput("\"hook\":\"up\",\"status\":0}\n{", seconds(10))) << connect.output();
      EXPECT_EQ(Run({"--servers", address_, "--user", "carol", "disconnect"}).status, 0);
    }
    EXPECT_EQ(connect.Wait(seconds(30)), c.status) << c.name << connect.errors();
    const std::string& out = connect.output();
    const nlohmann::json end = nlohmann::json::parse(out.substr(out.rfind("{\"command\"")), nullptr, false);
    EXPECT_EQ(end.value("exit_status", -1), c.status) << c.name << out;
    EXPECT_EQ(end["errors"].empty() ? "" : end["errors"][0].value("operation", ""),
              c.failedOperation != nullptr ? c.failedOperation : "")
        << c.name << out;
    // The restarted service no longer knows the session: code 3.
    EXPECT_EQ(out.find("\"event\":\"lease_lost\",\"result\":3,") != std::string::npos,
              c.restartPassword != nullptr)
        << c.name << out;
    // Refused once, never retried; gone for good, reported once it was.
    EXPECT_EQ(out.find("\"event\":\"retry\""), std::string::npos) << c.name << out;
    EXPECT_EQ(out.find("\"event\":\"gave_up\"") != std::string::npos, c.status == 3) << c.name << out;
    EXPECT_EQ(HookRuns(), c.hooks) << c.name;
  }
}

// Every way a confirmed lease ends runs the down hook once, with the reason.
// nohup and a shell's background jobs start us with a signal ignored: it
// stays ignored, and SIGTERM still stops connect cleanly.
TEST_F(ConnectRecoveryTest, DownHookRunsForEachWayOfStoppingAndIgnoredSignalsStayIgnored) {
  StartService();
  address_ = server_.LiveAddress();
  enum class Stop { kDuration, kDisconnect, kTerminate, kUpFails };
  const struct {
    Stop how;
    int ignored;  // ignored from the start and sent before SIGTERM; 0: none
    int status;
    std::vector<std::string> hooks;
  } cases[] = {
      {Stop::kDuration, 0, 0, {kUp, Down("duration reached")}},
      {Stop::kDisconnect, 0, 0, {kUp, Down("disconnect requested")}},
      {Stop::kTerminate, 0, 143, {kUp, Down("stopped by SIGTERM")}},
      {Stop::kTerminate, SIGHUP, 143, {kUp, Down("stopped by SIGTERM")}},
      {Stop::kTerminate, SIGINT, 143, {kUp, Down("stopped by SIGTERM")}},
      // A tunnel that did not come up has nothing to take down.
      {Stop::kUpFails, 0, 5, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("stop " + std::to_string(static_cast<int>(c.how)) + ", ignored " +
                 std::to_string(c.ignored));
    std::remove(hookLog_.c_str());
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    if (c.ignored != 0) ::sigaction(c.ignored, &ignore, &previous);
    ChildProcess connect;
    const bool spawned = connect.SpawnWithPipes(Connect(
        c.how == Stop::kDuration ? std::vector<std::string>{"--duration", "1.5"} : std::vector<std::string>{},
        c.how == Stop::kUpFails ? "echo cannot dial >&2; exit 5" : ""));
    if (c.ignored != 0) ::sigaction(c.ignored, &previous, nullptr);
    ASSERT_TRUE(spawned);
    if (c.how == Stop::kDisconnect || c.how == Stop::kTerminate) {
      ASSERT_TRUE(connect.WaitForOutput("\"hook\":\"up\"", seconds(10))) << connect.errors();
    }
    if (c.ignored != 0) {
      connect.Signal(c.ignored);  // after the up hook, so after the first handshake
      EXPECT_TRUE(connect.WaitForOutput("\"handshakes_ok\":3", seconds(10))) << connect.output();
    }
    if (c.how == Stop::kDisconnect) {
      EXPECT_EQ(Run({"--servers", address_, "-u", "carol", "disconnect"}).status, 0);
    }
    if (c.how == Stop::kTerminate) connect.Signal(SIGTERM);
    EXPECT_EQ(connect.Wait(), c.status) << connect.errors();
    EXPECT_EQ(HookRuns(), c.hooks) << connect.output();
    EXPECT_NE(connect.output().find("\"released\":true"), std::string::npos) << connect.output();
    if (c.how == Stop::kTerminate) {
      EXPECT_NE(connect.output().find("\"stop_reason\":\"stopped by SIGTERM\""), std::string::npos);
    }
    if (c.how == Stop::kUpFails) {
      EXPECT_NE(connect.errors().find("proxyhelper: up: cannot dial\n"), std::string::npos)
          << connect.errors();
    }
  }
}

std::string ProcFile(pid_t pid, const char* name) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TEST_F(ConnectRecoveryTest, PasswordsReachTheHookOnlyOnItsStandardInput) {
  StartService();
  address_ = server_.LiveAddress();
  const std::string pidFile = home_.path() + "/hook.pid";
  const std::string go = home_.path() + "/go";
  // The hook waits (bounded) for the test to look at it.
  const std::string up = "echo $$ > " + pidFile + "; read -r pw; echo \"stdin:$pw\"; i=0; while [ ! -e " +
                         go + " ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done";
  // systemd's end of Type=notify: READY only once the up hook succeeded.
  const std::string notifyPath = home_.path() + "/notify";
  const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", notifyPath.c_str());
  ASSERT_EQ(::bind(notify, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  // The next datagram, waited for up to `ms`; empty when none came.
  const auto received = [notify](int ms) {
    pollfd ready = {notify, POLLIN, 0};
    char bytes[512];
    const ssize_t got = ::poll(&ready, 1, ms) == 1 ? ::recv(notify, bytes, sizeof bytes, 0) : -1;
    return got > 0 ? std::string(bytes, static_cast<std::size_t>(got)) : std::string();
  };
  setenv("NOTIFY_SOCKET", notifyPath.c_str(), 1);
  setenv("PROXYHELPER_PASSWORD", "carol-pw", 1);
  ChildProcess connect;
  ASSERT_TRUE(connect.SpawnWithPipes({"--servers", address_, "--user", "carol", "--json", "connect",
                                      "--server-id", "7", "--interval", "1", "--up", up}));
  unsetenv("PROXYHELPER_PASSWORD");
  unsetenv("NOTIFY_SOCKET");
  pid_t hook = 0;
  for (int i = 0; i < 200 && hook == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream(pidFile) >> hook;
  }
  ASSERT_GT(hook, 0) << connect.errors();
  const std::string environment = ProcFile(hook, "environ");
  const std::string commandLine = ProcFile(hook, "cmdline");
  EXPECT_EQ(received(0), "");
  std::ofstream(go) << "";
  EXPECT_NE(environment.find("PROXYHELPER_LEND_USER=lend7"), std::string::npos);
  for (const char* secret : {"pw7", "carol-pw"}) {
    EXPECT_EQ(environment.find(secret), std::string::npos) << secret;
    EXPECT_EQ(commandLine.find(secret), std::string::npos) << secret;
  }
  ASSERT_TRUE(connect.WaitForOutput("\"hook\":\"up\",\"status\":0", seconds(15))) << connect.errors();
  EXPECT_EQ(received(10000).rfind("READY=1\nSTATUS=leased server 7", 0), 0u);
  connect.Signal(SIGTERM);
  EXPECT_EQ(connect.Wait(), 143);
  EXPECT_NE(connect.errors().find("proxyhelper: up: stdin:pw7\n"), std::string::npos) << connect.errors();
  EXPECT_EQ(received(10000), "STOPPING=1");
  ::close(notify);
}

std::string ShippedFile(const std::string& relative) {
  const char* root = std::getenv("PROXYHELPER_SOURCE_DIR");
  const std::string file = __FILE__;
  std::ifstream in(
      (root != nullptr && root[0] != '\0' ? std::string(root) : file.substr(0, file.rfind("/tests/"))) +
      "/tools/cli/" + relative);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The example hooks parse, and read only what connect sets (or their own
// settings); the unit starts connect with options it has.
TEST_F(ConnectRecoveryTest, ShippedHooksAndUnitFitConnect) {
  const std::set<std::string> provided = {"PROXYHELPER_HOOK",           "PROXYHELPER_ACCOUNT",
                                          "PROXYHELPER_SERVER_ID",      "PROXYHELPER_SERVER_NAME",
                                          "PROXYHELPER_SERVER_ADDRESS", "PROXYHELPER_SERVER_LOCATION",
                                          "PROXYHELPER_LEND_USER",      "PROXYHELPER_REASON"};
  const struct {
    const char* hook;
    std::set<std::string> own;
  } hooks[] = {{"nmcli-vpn", {"PROXYHELPER_NM_VPN_TYPE"}}, {"pppd-pptp", {}}};
  const std::regex variable("PROXYHELPER_[A-Z_]+");
  for (const auto& h : hooks) {
    const std::string text = ShippedFile(std::string("hooks/") + h.hook);
    ASSERT_FALSE(text.empty()) << h.hook;
    const std::string path = home_.path() + "/" + h.hook;
    std::ofstream(path) << text;
    EXPECT_EQ(std::system(("sh -n '" + path + "'").c_str()), 0) << h.hook;
    std::set<std::string> read;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), variable); it != std::sregex_iterator();
         ++it) {
      const std::string name = it->str();
      EXPECT_TRUE(provided.count(name) != 0 || h.own.count(name) != 0) << h.hook << " reads " << name;
      read.insert(name);
    }
    EXPECT_TRUE(read.count("PROXYHELPER_HOOK") && read.count("PROXYHELPER_SERVER_ADDRESS")) << h.hook;
    // The lend password only from standard input.
    EXPECT_NE(text.find("IFS= read -r password"), std::string::npos) << h.hook;
  }
  const std::string unit = ShippedFile("systemd/proxyhelper-connect@.service");
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  const std::string help = Run({"help", "connect"}).out;
  const std::string exec = unit.substr(unit.find("ExecStart="),
                                       unit.find('\n', unit.find("ExecStart=")) - unit.find("ExecStart="));
  const std::regex option("--[a-z-]+");
  int options = 0;
  for (auto it = std::sregex_iterator(exec.begin(), exec.end(), option); it != std::sregex_iterator(); ++it) {
    EXPECT_NE(help.find(it->str()), std::string::npos) << it->str();
    ++options;
  }
  EXPECT_EQ(options, 2) << exec;
}

}  // namespace
}  // namespace clitest
