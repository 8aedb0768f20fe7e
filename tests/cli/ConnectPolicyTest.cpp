// connect's recovery policy and start-up inputs: relogin codes, durations,
// the backoff, the password file, and the hooks' process handling.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "facade/ProxyHelper.h"
#include "support/TempDir.h"
#include "tools/cli/ConnectPolicy.h"
#include "tools/cli/Hooks.h"
#include "tools/cli/PasswordFile.h"

namespace clitest {
namespace {

using std::chrono::milliseconds;

TEST(ConnectPolicyTest, ReloginCodesAndDurationsParseOrSayWhy) {
  const struct {
    const char* text;
    std::set<int> codes;  // empty: refused
  } codes[] = {
      {"3,8", {3, 8}},    {" 3 , 8 ", {3, 8}},
      {"0x8,8", {8}},     {"0x70000067", {0x70000067}},
      {"-1", {-1}},       {"", {}},
      {"3,", {}},         {"3;8", {}},
      {"0", {}},          {"0x70000066", {}},
      {"4294967296", {}}, {"x", {}},
  };
  for (const auto& c : codes) {
    std::set<int> parsed = {42};
    const std::string why = proxycli::ParseReloginCodes(c.text, &parsed);
    EXPECT_EQ(why.empty(), !c.codes.empty()) << c.text << ": " << why;
    EXPECT_EQ(parsed, c.codes.empty() ? std::set<int>{42} : c.codes) << c.text;
  }
  const struct {
    const char* text;
    long long ms;  // -1: refused
  } durations[] = {
      {"90", 90000}, {"90s", 90000}, {"1.5", 1500}, {"5m", 300000}, {"2h", 7200000}, {"30d", 2592000000},
      {"0.0001", 1}, {"0", -1},      {"-1", -1},    {"31d", -1},    {"5 m", -1},     {"5min", -1},
      {"", -1},      {"nan", -1},    {"inf", -1},   {"m", -1},
  };
  for (const auto& d : durations) {
    milliseconds parsed(-7);
    const std::string why = proxycli::ParseDuration(d.text, &parsed);
    EXPECT_EQ(why.empty(), d.ms >= 0) << d.text << ": " << why;
    EXPECT_EQ(parsed.count(), d.ms >= 0 ? d.ms : -7) << d.text;
  }
}

TEST(ConnectPolicyTest, BackoffDoublesToTheCapWithinItsJitterAndStartsOver) {
  proxycli::Backoff backoff(12345);
  const long long bases[] = {1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000};
  std::set<long long> seen;
  for (int round = 0; round < 2; ++round) {
    for (const long long base : bases) {
      const long long wait = backoff.Next().count();
      EXPECT_GE(wait, base * 8 / 10) << base;
      EXPECT_LE(wait, base * 12 / 10) << base;
      seen.insert(wait);
    }
    backoff.Reset();
  }
  // Jittered: two clients never march in step.
  EXPECT_GT(seen.size(), 12u);
}

TEST(ConnectPolicyTest, PasswordFileMustBeTheOwnersAlone) {
  testsupport::TempDir dir("proxyhelper-pwfile-");
  const struct {
    const char* content;
    mode_t mode;
    const char* password;  // null: refused
    const char* why;
  } cases[] = {
      {"s3cret\n", 0600, "s3cret", nullptr},       {"s3cret\r\nsecond line\n", 0400, "s3cret", nullptr},
      {"no newline", 0600, "no newline", nullptr}, {"s3cret\n", 0640, nullptr, "mode 0640"},
      {"s3cret\n", 0604, nullptr, "chmod 600"},    {"\nlater\n", 0600, nullptr, "no password"},
      {"", 0600, nullptr, "no password"},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = dir.path() + "/pw" + std::to_string(n++);
    std::ofstream(path) << c.content;
    ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    std::string password = "unchanged";
    std::string error;
    EXPECT_EQ(proxycli::ReadPasswordFile(path, &password, &error), c.password != nullptr) << c.content;
    EXPECT_EQ(password, c.password != nullptr ? c.password : "unchanged");
    if (c.why != nullptr) {
      EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
  }
  std::string password;
  std::string error;
  const std::string big = dir.path() + "/big";
  std::ofstream(big) << std::string(5000, 'x');
  ::chmod(big.c_str(), 0600);
  EXPECT_FALSE(proxycli::ReadPasswordFile(big, &password, &error));
  EXPECT_FALSE(proxycli::ReadPasswordFile(dir.path(), &password, &error));
  EXPECT_FALSE(proxycli::ReadPasswordFile(dir.path() + "/missing", &password, &error));
}

TEST(ConnectPolicyTest, HooksReportStatusPrefixOutputAndKeepSecretsOffTheEnvironment) {
  setenv("PROXYHELPER_PASSWORD", "account-secret", 1);
  const struct {
    const char* command;
    milliseconds timeout;
    int status;
    bool timedOut;
    const char* log;  // what the log holds
  } cases[] = {
      {"read -r pw; echo \"got $pw as $PROXYHELPER_LEND_USER\"", milliseconds(10000), 0, false,
       "proxyhelper: up: got lend-secret as lend7\n"},
      {"echo \"[${PROXYHELPER_PASSWORD-unset}]\" >&2; exit 5", milliseconds(10000), 5, false,
       "proxyhelper: up: [unset]\n"},
      {"printf 'a\\033b'; kill -TERM $$", milliseconds(10000), 128 + SIGTERM, false,
       "proxyhelper: up: a\\x1bb\n"},
      // The group goes: a child that ignores SIGTERM is killed as well.
      {"(trap '' TERM; sleep 30) & sleep 30", milliseconds(200), proxycli::kHookTimedOutStatus, true, ""},
      // What it leaves in the background does not hold connect up.
      {"sleep 3 & echo started", milliseconds(10000), 0, false, "proxyhelper: up: started\n"},
  };
  for (const auto& c : cases) {
    proxycli::HookRun run;
    run.label = "up";
    run.command = c.command;
    run.timeout = c.timeout;
    run.environment = {"PROXYHELPER_LEND_USER=lend7"};
    run.input = "lend-secret\n";
    std::ostringstream log;
    const auto start = std::chrono::steady_clock::now();
    const proxycli::HookOutcome outcome = proxycli::RunHook(run, log);
    EXPECT_TRUE(outcome.started) << outcome.error;
    EXPECT_EQ(outcome.status, c.status) << c.command;
    EXPECT_EQ(outcome.timedOut, c.timedOut) << c.command;
    EXPECT_EQ(outcome.ok(), c.status == 0) << c.command;
    EXPECT_EQ(log.str(), c.log) << c.command;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << c.command;
  }
  unsetenv("PROXYHELPER_PASSWORD");
}

}  // namespace
}  // namespace clitest
