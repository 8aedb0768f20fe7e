// The interactive shell, driven from a script and from a terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/CliFixture.h"
#include "facade/ProxyHelper.h"
#include "tools/cli/LineReader.h"
#include "tools/cli/ServiceCalls.h"

namespace clitest {
namespace {

std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> docs;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) docs.push_back(nlohmann::json::parse(line, nullptr, false));
  return docs;
}

TEST_F(CliTest, ShellRunsEveryOperationInOneSession) {
  StartService();
  const std::string script =
      "version\n"
      "register erin erin-pw 555 e@example.com 123 \"a memo with spaces\"\n"
      "recharge erin erin-pw C-1 c1\n"
      "signin erin erin-pw\n"
      "userinfo\n"
      "servers\n"
      "local\n"
      "ratio\n"
      "lease 7\n"
      "handshake\n"
      "status\n"
      "release\n"
      "signout\n"
      "quit\n"
      "version\n";  // never reached
  const Outcome outcome = Run({"--servers", server_.LiveAddress(), "--json", "shell"}, script);
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  const std::vector<nlohmann::json> docs = JsonLines(outcome.out);
  const std::vector<std::string> expected = {"version", "register", "recharge", "signin", "userinfo",
                                             "servers", "local",    "ratio",    "lease",  "handshake",
                                             "status",  "release",  "signout"};
  ASSERT_EQ(docs.size(), expected.size()) << outcome.out;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    ASSERT_FALSE(docs[i].is_discarded()) << i;
    EXPECT_EQ(docs[i]["command"], expected[i]);
    EXPECT_EQ(docs[i]["ok"], true) << expected[i] << ": " << docs[i].dump();
  }
  EXPECT_EQ(docs[0]["service_version"], "9.8.7");
  EXPECT_EQ(docs[4]["user"]["moneyleft"], 5);
  ASSERT_TRUE(docs[5]["groups"].is_array());
  EXPECT_EQ(docs[5]["groups"].size(), 2u);
  EXPECT_EQ(docs[5]["groups"], docs[6]["groups"]);
  EXPECT_EQ(docs[8]["lendusername"], "lend7");
  EXPECT_EQ(docs[10]["leased"], true);
  EXPECT_EQ(docs[10]["username"], "erin");
}

TEST_F(CliTest, ShellReportsBadLinesAndKeepsGoing) {
  StartService();
  const std::string script =
      "\n"
      "frobnicate\n"          // unknown
      "lease\n"               // missing argument
      "lease seven\n"         // not a number
      "handshake\n"           // no lease yet
      "signin carol wrong\n"  // refused
      "signin 'carol\n"       // unmatched quote
      "version\n";
  const Outcome outcome = Run({"--servers", server_.LiveAddress(), "shell"}, script);
  EXPECT_EQ(outcome.status, 0);  // the last command succeeded
  for (const char* message :
       {"unknown command \"frobnicate\"", "usage: lease ID", "\"seven\" is not a server id",
        "no lease to confirm", "SignIn failed: 0x00000002 service result", "unmatched single quote"}) {
    EXPECT_NE(outcome.err.find(message), std::string::npos) << message << "\n" << outcome.err;
  }
  EXPECT_NE(outcome.out.find("service 9.8.7"), std::string::npos);
}

TEST_F(CliTest, ShellEndOfInputReleasesAndSignsOut) {
  StartService();
  const Outcome outcome =
      Run({"--servers", server_.LiveAddress(), "shell"}, "signin carol carol-pw\nuserinfo\nlease 7\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_NE(outcome.out.find("released (outcome 0)\nsigned out\n"), std::string::npos) << outcome.out;
  const int release = LastRequest("releasedialupinfo.php -> result=0: parsed");
  EXPECT_GE(release, 0);
  EXPECT_GT(LastRequest("logout.php -> result=0: parsed"), release);
  // The single credential of server 7 is free again.
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo error;
  ASSERT_EQ(helper.SignIn({"carol", "carol-pw"}, error), 0);
  UserInfo info;
  ASSERT_EQ(helper.GetUserInfo(info), 0);
  proxycli::AdoptPushedServerConfig();  // the library never frees it
  DialupInfo lease;
  EXPECT_EQ(helper.GetDailupInfo(7, lease, error), 0) << error.errdesc;
}

TEST_F(CliTest, ShellExitStatusFollowsTheLastCommand) {
  StartService(/*deadFirst=*/true);
  EXPECT_EQ(Run({"--servers", server_.DeadAddress(), "shell"}, "version\n").status, 3);
  EXPECT_EQ(Run({"--servers", server_.LiveAddress(), "shell"}, "signin carol nope\n").status, 1);
  EXPECT_EQ(Run({"--servers", server_.LiveAddress(), "shell"}, "lease\n").status, 2);
  EXPECT_EQ(Run({"--servers", server_.LiveAddress(), "shell"}, "lease\nhelp\n").status, 0);
}

TEST_F(CliTest, ShellSigninTakesTheGlobalUserAndLeaseReplacesTheHeldOne) {
  StartService();
  const Outcome outcome = Run({"--servers", server_.LiveAddress(), "-u", "carol", "-p", "carol-pw", "shell"},
                              "signin\nlease 7\nlease 7\nstatus\n");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  // Server 7 lends one credential: the second lease works only after the release.
  EXPECT_NE(outcome.out.find("signed in as carol\n"
                             "server 7: user lend7 password pw7\n"
                             "released the lease on server 7 first\n"
                             "server 7: user lend7 password pw7\n"
                             "signed in as carol, lease on server 7 as lend7\n"),
            std::string::npos)
      << outcome.out;
  const Outcome nobody = Run({"--servers", server_.LiveAddress(), "shell"}, "signin\n");
  EXPECT_EQ(nobody.status, 2);
  EXPECT_NE(nobody.err.find("-u USER"), std::string::npos) << nobody.err;
}

// The program on a terminal, typed at as a person would.
TEST_F(CliTest, ShellOnATerminalCompletesRecallsAndAbandonsLines) {
  StartService();
  // A long history from earlier runs; its newest line comes back first.
  std::string earlier;
  for (int i = 0; i < 1499; ++i) earlier += "lease " + std::to_string(i) + "\n";
  ASSERT_FALSE(home_.Write("state/proxyhelper/shell_history", earlier + "version\n").empty());

  ChildProcess shell;
  ASSERT_TRUE(shell.SpawnOnTerminal({"--servers", server_.LiveAddress(), "-u", "carol", "shell"}));
  const struct {
    const char* keys;
    const char* shows;
  } steps[] = {
      {"", "proxyhelper> "},
      {"\x10", "version"},  // Ctrl-P: the last line of the history
      {"\r", "service 9.8.7"},
      {"", "proxyhelper> "},
      {"frobnicate", "frobnicate"},
      {"\x03", "proxyhelper> "},  // Ctrl-C: the line is dropped, not run
      {"signin carol carol-pw\r", "signed in as carol"},
      {"", "proxyhelper(carol)> "},
      {"ver\t", "version "},
      {"\r", "service 9.8.7"},
      {"", "proxyhelper(carol)> "},
      {"s\t", "servers  signin  signout  status"},
      {"", "proxyhelper(carol)> s"},
      {"\x03", "proxyhelper(carol)> "},
      {"\r", "proxyhelper(carol)> "},  // an empty line, not the dropped "s"
      {"quit\r", "signed out"},
  };
  for (const auto& step : steps) {
    ASSERT_TRUE(shell.Type(step.keys));
    ASSERT_TRUE(shell.WaitForOutput(step.shows)) << "after " << ::testing::PrintToString(step.keys) << ":\n"
                                                 << shell.output();
  }
  EXPECT_EQ(shell.Wait(), 0) << shell.output();
  EXPECT_EQ(shell.output().find("unknown command"), std::string::npos) << shell.output();

  struct stat info;
  ASSERT_EQ(::stat(StateFile("shell_history").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  std::vector<std::string> lines;
  std::istringstream history(home_.Read("state/proxyhelper/shell_history"));
  for (std::string line; std::getline(history, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), proxycli::kHistoryLines);
  // The password's line stays out; the rest is kept, newest last.
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"version", "quit"}));
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "frobnicate"), lines.end());
  EXPECT_EQ(home_.Read("state/proxyhelper/shell_history").find("carol-pw"), std::string::npos);
}

// Every typed byte reaches the command and the history as it was typed,
// whether or not it is a character of the terminal's encoding.
TEST_F(CliTest, ShellOnATerminalKeepsEveryTypedByte) {
  const std::string typed = "zz\xc3\xa9\xff\xc3x";  // é, then bytes that are no UTF-8
  for (const char* locale : {"LC_ALL=C", "LC_ALL=C.UTF-8"}) {
    SCOPED_TRACE(locale);
    std::remove(StateFile("shell_history").c_str());
    ChildProcess shell;
    ASSERT_TRUE(shell.SpawnOnTerminal({"--servers", "127.0.0.1:9", "shell"}, {locale}));
    const std::string refused = "unknown command \"" + typed + "\"";
    for (const char* keys : {"\r", "\x10\r"}) {  // typed, then recalled (Ctrl-P)
      ASSERT_TRUE(shell.WaitForOutput("proxyhelper> ")) << shell.output();
      ASSERT_TRUE(shell.Type((keys[0] == '\r' ? typed : std::string()) + keys));
      ASSERT_TRUE(shell.WaitForOutput(refused)) << shell.output();
    }
    ASSERT_TRUE(shell.Type("quit\r"));
    EXPECT_EQ(shell.Wait(), 2) << shell.output();
    // Without a locale the terminal is taken as UTF-8: é shows as itself.
    EXPECT_EQ(shell.output().find("\\U+DCC3\\U+DCA9"), std::string::npos) << shell.output();
    EXPECT_EQ(home_.Read("state/proxyhelper/shell_history"), typed + "\n" + "quit\n");
  }
}

TEST(SplitWordsTest, QuotesAndEscapes) {
  struct Case {
    const char* line;
    std::vector<std::string> words;
  };
  const Case cases[] = {
      {"", {}},
      {"   ", {}},
      {"lease 7", {"lease", "7"}},
      {"  signin   bob\tpw  ", {"signin", "bob", "pw"}},
      {"memo \"two words\" 'single q'", {"memo", "two words", "single q"}},
      {"a\\ b c", {"a b", "c"}},
      {"pass\"w\"ord", {"password"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words;
    std::string error;
    ASSERT_TRUE(proxycli::SplitWords(c.line, &words, &error)) << c.line << ": " << error;
    EXPECT_EQ(words, c.words) << c.line;
  }
  for (const char* bad : {"say 'unfinished", "say \"unfinished"}) {
    std::vector<std::string> words;
    std::string error;
    EXPECT_FALSE(proxycli::SplitWords(bad, &words, &error)) << bad;
    EXPECT_NE(error.find("unmatched"), std::string::npos) << bad;
  }
}

TEST(EditLineReaderTest, ReadsLinesFromANonTerminal) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string input = "version\nlease 7\nlast line without end";
  ASSERT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  ::close(fds[1]);
  FILE* in = ::fdopen(fds[0], "r");
  ASSERT_NE(in, nullptr);
  FILE* sink = std::fopen("/dev/null", "w");
  ASSERT_NE(sink, nullptr);
  {
    proxycli::EditLineReader reader("test", in, sink, sink);
    std::string line;
    ASSERT_TRUE(reader.ReadLine("> ", &line));
    EXPECT_EQ(line, "version");
    reader.AddHistory(line);
    ASSERT_TRUE(reader.ReadLine("> ", &line));
    EXPECT_EQ(line, "lease 7");
    ASSERT_TRUE(reader.ReadLine("> ", &line));
    EXPECT_EQ(line, "last line without end");
    EXPECT_FALSE(reader.ReadLine("> ", &line));
  }
  std::fclose(sink);
  std::fclose(in);
}

}  // namespace
}  // namespace clitest
