// Exit statuses and failure messages of the subcommands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <streambuf>

#include "cli/CliFixture.h"
#include "facade/ProxyHelper.h"
#include "support/ReferenceService.h"
#include "tools/cli/ResultText.h"

namespace clitest {
namespace {

using proxycli::ExitStatusForResult;
using proxycli::ResultHex;
using proxycli::ResultName;

TEST(ResultTextTest, CodesMapToHexNamesAndExitStatuses) {
  struct Case {
    int result;
    const char* hex;
    const char* name;
    int exitStatus;
  };
  const Case cases[] = {
      {0, "0x00000000", "success", 0},
      {RESULT_TRANSPORT_FAILURE, "0x70000066", "RESULT_TRANSPORT_FAILURE", 3},
      {RESULT_NOT_SUCCEEDED, "0x70000067", "RESULT_NOT_SUCCEEDED", 1},
      {-1, "0xFFFFFFFF", "service result", 1},
      {2, "0x00000002", "service result", 1},
      {0x7FFFFFFF, "0x7FFFFFFF", "service result", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ResultHex(c.result), c.hex) << c.result;
    EXPECT_EQ(ResultName(c.result), c.name) << c.result;
    EXPECT_EQ(ExitStatusForResult(c.result), c.exitStatus) << c.result;
  }
}

TEST_F(CliTest, SuccessIsZero) {
  StartService();
  const Outcome outcome = Run({"--servers", server_.LiveAddress(), "version"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("service 9.8.7"), std::string::npos) << outcome.out;
  EXPECT_EQ(outcome.err, "");
}

TEST_F(CliTest, RefusalIsOneWithCodeNameAndServiceText) {
  StartService();
  const Outcome outcome =
      Run({"--servers", server_.LiveAddress(), "--user", "carol", "--password", "wrong", "account"});
  EXPECT_EQ(outcome.status, 1);
  // The service's code for a bad password, in hex, with its name and text.
  EXPECT_NE(outcome.err.find("SignIn failed: 0x00000002 service result: "), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("password"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.out, "");
}

TEST_F(CliTest, UnreachableServiceIsThree) {
  StartService(/*deadFirst=*/true);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--servers", server_.DeadAddress(), "version"},
           {"--servers", server_.DeadAddress(), "-u", "carol", "-p", "carol-pw", "account"},
           {"--servers", server_.DeadAddress(), "-u", "carol", "-p", "carol-pw", "connect", "--server-id",
            "7"}}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(outcome.status, 3) << args.back();
    EXPECT_NE(outcome.err.find("0x70000066 RESULT_TRANSPORT_FAILURE"), std::string::npos) << outcome.err;
    // Where and why, in the library's words.
    EXPECT_NE(outcome.err.find("last attempt " + server_.DeadAddress() + ": connection refused"),
              std::string::npos)
        << outcome.err;
  }
}

TEST_F(CliTest, FailoverPastDeadServerSucceeds) {
  StartService(/*deadFirst=*/true);
  const Outcome outcome =
      Run({"--servers", server_.ClientServerList(), "-u", "carol", "-p", "carol-pw", "account"});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
}

// Once the account was shown, a sign-out that cannot reach the pushed list
// is a warning, not the command's status.
TEST_F(CliTest, AccountShownIsZeroWhenOnlyTheSignOutFails) {
  const std::string closed = "127.0.0.1:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.1"));
  testsupport::ReferenceService::Setup setup;
  setup.options.loginServers = closed;
  testsupport::ReferenceService service(setup);
  ASSERT_TRUE(service.ok());
  const Outcome outcome = Run({"--servers", service.Entry(), "-u", "alice", "-p", "alice-pass", "account"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out.rfind("account\n", 0), 0u) << outcome.out;
  EXPECT_EQ(outcome.err,
            "proxyhelper: note: the service replaced the account-server list with: " + closed +
                "\nproxyhelper: warning: could not sign out (RESULT_TRANSPORT_FAILURE, last attempt " +
                closed + ": connection refused); the service ends the session when it expires\n");
}

TEST_F(CliTest, UsageErrorsAreTwoAndSendNothing) {
  StartService();
  const std::string live = server_.LiveAddress();
  const std::vector<std::vector<std::string>> cases = {
      {},                                                  // no subcommand
      {"frobnicate"},                                      // unknown subcommand
      {"--no-such-flag", "version"},                       // unknown option
      {"--servers", live, "connect"},                      // --server-id required
      {"--servers", live, "connect", "--server-id", "x"},  // not a number
      {"--servers", live, "connect", "--server-id", "7", "--interval", "-1"},
      {"--servers", live, "connect", "--server-id", "7", "--release-code", "9999999"},
      {"--servers", live, "recharge", "--card", "C-1"},   // card password missing
      {"--servers", live, "account"},                     // no user
      {"--servers", live, "--user", "carol", "account"},  // no password, no terminal
      {"--servers", "ftp://x:1", "version"},              // no usable server entry
      {"--servers", live, "--config", "/nonexistent/config.ini", "version"},
      {"--servers", live, "--timeout", "0", "version"},
      {"--servers", live, "--timeout", "nan", "version"},
      {"--servers", live, "--timeout", "2s", "version"},
      {"--servers", live, "--timeout", "3601", "version"},
      {"--servers", live, "--operation-timeout", "-1", "version"},
      {"--servers", live, "--operation-timeout", "inf", "version"},
      {"--servers", live, "--ca-bundle", "/nonexistent/ca.pem", "version"},
      {"--servers", live, "--ca-bundle", home_.path(), "version"},  // a directory
      // The form carries values unescaped: '&' and '=' never leave.
      {"--servers", live, "-u", "car&ol", "-p", "carol-pw", "account"},
      {"--servers", live, "-u", "carol", "-p", "pass=word", "servers"},
      {"--servers", live, "-p", "pw", "register", "dave", "--memo", "a&b"},
      {"--servers", live, "-u", "carol", "-p", "carol-pw", "recharge", "--card", "C=1", "--card-password",
       "x"},
      {"--servers", live, "servers", "--sort", "price"},
      {"--servers", live, "servers", "--limit", "0"},
      {"--servers", live, "servers", "--level", "-1"},
      {"--servers", live, "-p", "x", "--password-stdin", "version"},
      {"--servers", live, "-u", "carol", "--password-stdin", "account"},  // standard input is empty
      {"config"},
      {"help", "nosuch"},
  };
  for (const auto& args : cases) {
    const std::size_t before = Requests().size();
    const Outcome outcome = Run(args);
    std::string joined;
    for (const std::string& arg : args) joined += arg + " ";
    EXPECT_EQ(outcome.status, 2) << joined << "\n" << outcome.err;
    EXPECT_FALSE(outcome.err.empty()) << joined;
    EXPECT_EQ(Requests().size(), before) << joined;
  }
  // Why a value is refused, without showing it.
  const Outcome refused = Run({"--servers", live, "-u", "carol", "-p", "pa&ss", "account"});
  EXPECT_EQ(refused.err,
            "proxyhelper: the password holds '&', which the service's form cannot carry: values are sent "
            "unescaped, and '&' and '=' would split them\n");
}

TEST_F(CliTest, UnknownCommandSuggestsTheNearest) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"acount"}, "proxyhelper: unknown command 'acount'; did you mean 'account'?\n"},
      {{"--servers", "127.0.0.1:1", "-u", "x", "sevrers"},
       "unknown command 'sevrers'; did you mean 'servers'?"},
      {{"--json", "conect", "--server-id", "7"}, "did you mean 'connect'?"},
      {{"shel"}, "did you mean 'shell'?"},
      {{"help", "ratoi"}, "unknown command 'ratoi'; did you mean 'ratio'?"},
      {{"xyzzy"}, "proxyhelper: unknown command 'xyzzy'\nRun 'proxyhelper help'"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.status, 2) << c.message;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
}

TEST_F(CliTest, PasswordFromStandardInput) {
  StartService();
  const std::vector<std::string> args = {"--servers", server_.LiveAddress(), "-u",
                                         "carol",     "--password-stdin",    "account"};
  EXPECT_EQ(Run(args, "carol-pw\r\n").status, 0);
  // It beats the environment, and only its first line counts.
  setenv("PROXYHELPER_PASSWORD", "carol-pw", 1);
  EXPECT_EQ(Run(args, "wrong\ncarol-pw\n").status, 1);
}

TEST_F(CliTest, VerboseShowsEveryAttemptAndPlainShowsTheLast) {
  StartService(/*deadFirst=*/true);
  const std::string dead = server_.DeadAddress();
  const std::string live = server_.LiveAddress();
  Outcome outcome = Run({"--servers", server_.ClientServerList(), "-v", "version"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.err.find("* getversion.php " + dead + ": connection refused (connect timeout 500 ms, "),
            std::string::npos)
      << outcome.err;
  // The failover's connect time-out is one step longer.
  EXPECT_NE(outcome.err.find("* getversion.php " + live + ": parsed (http 200, "), std::string::npos)
      << outcome.err;
  EXPECT_NE(outcome.err.find("connect timeout 1000 ms, "), std::string::npos) << outcome.err;

  outcome = Run({"--servers", live, "-u", "carol", "-p", "bad", "--verbose", "account"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(outcome.err.find("* loginin.php " + live + ": refused by the service (result 2) (http 200, "),
            std::string::npos)
      << outcome.err;

  // Without -v, no attempt lines: the failure names the last one.
  outcome = Run({"--servers", dead, "version"});
  EXPECT_EQ(outcome.err.find("* "), std::string::npos) << outcome.err;
  EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;

  // After the sign-in, a session's requests go over the connection it opened,
  // unless --no-reuse.
  for (const bool reuse : {true, false}) {
    std::vector<std::string> args = {"--servers", live, "-u", "carol", "-p", "carol-pw", "-v", "account"};
    if (!reuse) args.insert(args.begin(), "--no-reuse");
    outcome = Run(args);
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("* loginin.php " + live + ": parsed (http 200, "), std::string::npos);
    EXPECT_EQ(outcome.err.find("getuserinfo.php " + live + ": parsed (http 200, ") != std::string::npos &&
                  outcome.err.find("bytes, reused connection, ") != std::string::npos,
              reuse)
        << outcome.err;
  }
}

TEST_F(CliTest, TimeoutsBoundASilentServer) {
  SilentListener silent;
  ASSERT_FALSE(silent.address().empty());
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> outcomes;  // in the library's words
  } cases[] = {
      {{"--timeout", "0.3"}, {"deadline"}},
      // The operation's end caps the stall bound as well: either may fire.
      {{"--operation-timeout", "0.4"}, {"deadline", "stall"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--servers", silent.address(), "-v"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("version");
    const auto started = std::chrono::steady_clock::now();
    const Outcome outcome = Run(args);
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome.status, 3) << c.args[0];
    EXPECT_LT(took, std::chrono::milliseconds(2500)) << c.args[0];
    bool named = false;
    for (const std::string& word : c.outcomes) {
      named = named || (outcome.err.find("* getversion.php " + silent.address() + ": " + word + " (") !=
                            std::string::npos &&
                        outcome.err.find("last attempt " + silent.address() + ": " + word + "\n") !=
                            std::string::npos);
    }
    EXPECT_TRUE(named) << outcome.err;
  }
}

// Fails every write the way an exhausted heap would.
class OutOfMemoryBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { throw std::bad_alloc(); }
  std::streamsize xsputn(const char*, std::streamsize) override { throw std::bad_alloc(); }
};

TEST_F(CliTest, OutOfMemoryIsOneWithOneLineSayingWhere) {
  StartService();
  const struct {
    std::vector<std::string> args;
    const char* activity;
  } cases[] = {
      {{"--help"}, "reading the command line"},
      {{"--servers", server_.LiveAddress(), "version"}, "running version"},
  };
  for (const auto& c : cases) {
    OutOfMemoryBuffer buffer;
    std::ostream out(&buffer);
    out.exceptions(std::ios::badbit);  // so the stream passes the bad_alloc on
    std::istringstream in;
    std::ostringstream err;
    proxycli::Console console{in, out, err, false, false};
    std::vector<std::string> argv = {"proxyhelper"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(proxycli::RunCli(argv, console), 1) << c.activity;
    EXPECT_EQ(err.str(), std::string("proxyhelper: out of memory: ") + c.activity + "\n");
  }
}

TEST_F(CliTest, HelpAndVersionAreZero) {
  const struct {
    std::vector<std::string> args;
    const char* shows;
  } cases[] = {
      {{"--help"}, "Subcommands:"},
      {{"help"}, "Subcommands:"},
      {{"--version"}, "proxyhelper "},
      {{"connect", "--help"}, "--server-id"},
      {{"help", "connect"}, "--server-id"},
      {{"servers", "--help"}, "--sort"},
      {{"help", "config", "show"}, "Usage: proxyhelper config show"},
      // Global options may follow the subcommand, so its help lists them.
      {{"ratio", "--help"}, "Global options:\n"},
      {{"demo", "--help"}, "--operation-timeout"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Run(c.args);
    EXPECT_EQ(outcome.status, 0) << c.shows;
    EXPECT_NE(outcome.out.find(c.shows), std::string::npos) << outcome.out;
  }
  EXPECT_EQ(Run({"--version"}).out, std::string("proxyhelper ") + PROXYHELPER_CLI_VERSION + "\n");
  EXPECT_EQ(Run({"help", "servers"}).out, Run({"servers", "--help"}).out);
}

TEST_F(CliTest, RegisterThenDuplicateRegisterIsRefused) {
  StartService();
  const std::vector<std::string> args = {
      "--servers", server_.LiveAddress(), "--password", "new-pw", "register", "dave",
      "--email",   "d@example.com"};
  EXPECT_EQ(Run(args).status, 0);
  const Outcome again = Run(args);
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("Register failed: 0x00000004 service result"), std::string::npos) << again.err;
  // The new account signs in.
  EXPECT_EQ(Run({"--servers", server_.LiveAddress(), "-u", "dave", "-p", "new-pw", "account"}).status, 0);
}

TEST_F(CliTest, RechargeCreditsOnceThenRefuses) {
  StartService();
  EXPECT_EQ(Run(Carol({"recharge", "--card", "C-1", "--card-password", "c1"})).status, 0);
  const Outcome again = Run(Carol({"recharge", "--card", "C-1", "--card-password", "c1"}));
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("Recharge failed: 0x00000005"), std::string::npos) << again.err;
  const Outcome account = Run(Carol({"--json", "account"}));
  EXPECT_EQ(account.Json()["user"]["moneyleft"], 47);
}

}  // namespace
}  // namespace clitest
