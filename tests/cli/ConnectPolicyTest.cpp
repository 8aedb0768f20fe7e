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
    const char* name;
    std::string content;  // "-": not written (the directory itself, or missing)
    mode_t mode;
    const char* password;  // null: refused
    const char* why;
  } cases[] = {
      {"a", "s3cret\n", 0600, "s3cret", nullptr},
      {"b", "s3cret\r\nsecond line\n", 0400, "s3cret", nullptr},
      {"c", "no newline", 0600, "no newline", nullptr},
      {"d", "s3cret\n", 0640, nullptr, "mode 0640"},
      {"e", "s3cret\n", 0604, nullptr, "chmod 600"},
      {"f", "\nlater\n", 0600, nullptr, "no password"},
      {"g", "", 0600, nullptr, "no password"},
      {"big", std::string(5000, 'x'), 0600, nullptr, "4 KiB"},
      {".", "-", 0, nullptr, "not a regular file"},
      {"missing", "-", 0, nullptr, "cannot read"},
  };
  for (const auto& c : cases) {
    const std::string path = dir.path() + "/" + c.name;
    if (c.content != "-") {
      std::ofstream(path) << c.content;
      ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
    }
    std::string password = "unchanged";
    std::string error;
    EXPECT_EQ(proxycli::ReadPasswordFile(path, &password, &error), c.password != nullptr) << c.name;
    EXPECT_EQ(password, c.password != nullptr ? c.password : "unchanged");
    if (c.why != nullptr) {
      EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
  }
}

TEST(ConnectPolicyTest, HooksReportStatusPrefixOutputAndKeepSecretsOffTheEnvironment) {
  setenv("PROXYHELPER_PASSWORD", "account-secret", 1);
  const struct {
    const char* command;
    int timeoutMs;
    int status;
    const char* log;                  // what the log holds
    bool childSignalIgnored = false;  // as a parent may leave SIGCHLD
  } cases[] = {
      {"read -r pw; echo \"got $pw as $PROXYHELPER_LEND_USER\"", 10000, 0,
       "proxyhelper: up: got lend-secret as lend7\n"},
      {"echo \"[${PROXYHELPER_PASSWORD-unset}]\" >&2; exit 5", 10000, 5, "proxyhelper: up: [unset]\n"},
      {"printf 'a\\033b'; kill -TERM $$", 10000, 128 + SIGTERM, "proxyhelper: up: a\\x1bb\n"},
      // The group goes: a child that ignores SIGTERM is killed as well.
      {"(trap '' TERM; sleep 30) & sleep 30", 200, proxycli::kHookTimedOutStatus, ""},
      // What it leaves in the background does not hold connect up.
      {"sleep 3 & echo started", 10000, 0, "proxyhelper: up: started\n"},
      // The shell's status is not lost to an inherited SIGCHLD ignore, which
      // stays as it was afterwards.
      {"exit 3", 10000, 3, "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    const auto start = std::chrono::steady_clock::now();
    std::ostringstream log;
    if (c.childSignalIgnored) ::signal(SIGCHLD, SIG_IGN);
    const proxycli::HookOutcome outcome = proxycli::RunHook(
        {"up", c.command, {"PROXYHELPER_LEND_USER=lend7"}, "lend-secret\n", milliseconds(c.timeoutMs), {}},
        log);
    if (c.childSignalIgnored) {
      EXPECT_EQ(::signal(SIGCHLD, SIG_DFL), SIG_IGN);
    }
    EXPECT_TRUE(outcome.started) << outcome.error;
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.timedOut, c.status == proxycli::kHookTimedOutStatus);
    EXPECT_EQ(outcome.ok(), c.status == 0);
    EXPECT_EQ(log.str(), c.log);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  }
  unsetenv("PROXYHELPER_PASSWORD");
}

}  // namespace
}  // namespace clitest
