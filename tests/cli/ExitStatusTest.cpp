// Exit statuses and failure messages of the subcommands.
#include <gtest/gtest.h>

#include <new>
#include <streambuf>

#include "cli/CliFixture.h"
#include "facade/ProxyHelper.h"
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

TEST_F(CliTest, UsageErrorsAreTwo) {
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
  };
  for (const auto& args : cases) {
    const Outcome outcome = Run(args);
    std::string joined;
    for (const std::string& arg : args) joined += arg + " ";
    EXPECT_EQ(outcome.status, 2) << joined << "\n" << outcome.err;
    EXPECT_FALSE(outcome.err.empty()) << joined;
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
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--version"}, {"connect", "--help"}, {"servers", "--help"}, {"demo", "--help"}}) {
    const Outcome outcome = Run(args);
    EXPECT_EQ(outcome.status, 0) << args.front();
    EXPECT_FALSE(outcome.out.empty()) << args.front();
  }
  EXPECT_EQ(Run({"--version"}).out, std::string("proxyhelper ") + PROXYHELPER_CLI_VERSION + "\n");
  EXPECT_NE(Run({"connect", "--help"}).out.find("--server-id"), std::string::npos);
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
