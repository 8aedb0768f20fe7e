// The account-server list: its entry syntax (with or without a scheme), the
// current position, the default server, and the rule that a server once
// seen as "https" is never reached in clear text again.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

using ServerList = std::vector<std::pair<std::string, int>>;
using Entry = std::tuple<std::string, int, bool>;  // host, port, secure
using EntryList = std::vector<Entry>;

ServerList Servers() {
  ServerList out;
  for (const CLoginServers::Server& s : CLoginServers::Instance().GetServers()) {
    out.emplace_back(s.host, s.port);
  }
  return out;
}

EntryList Entries() {
  EntryList list;
  for (const CLoginServers::Server& s : CLoginServers::Instance().GetServers()) {
    list.emplace_back(s.host, s.port, s.secure);
  }
  return list;
}

std::pair<std::string, int> Current() {
  std::string host = "untouched";
  int port = -1;
  CLoginServers::Instance().GetCurrServer(host, port);
  return {host, port};
}

Entry CurrentEntry() {
  std::string host;
  int port = -1;
  bool secure = true;
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  return Entry(host, port, secure);
}

std::pair<std::string, int> Next() {
  std::string host = "untouched";
  int port = -1;
  CLoginServers::Instance().GetNextServer(host, port);
  return {host, port};
}

class LoginServersTest : public ::testing::Test {
 protected:
  // The list is process-wide; start each case from nothing even when the
  // cases share one process.
  void SetUp() override { CLoginServers::Instance().Clear(); }
  void TearDown() override { CLoginServers::Instance().Clear(); }
  CLoginServers& servers_ = CLoginServers::Instance();
};
using ServerListScheme = LoginServersTest;

struct ParseCase {
  const char* text;
  EntryList expected;
};

TEST_F(LoginServersTest, ParsesFormatsAndSeparators) {
  const std::vector<ParseCase> cases = {
      {"a.example.com", {{"a.example.com", 80, false}}},
      {"a.example.com:8080", {{"a.example.com", 8080, false}}},
      {"127.0.0.1:1", {{"127.0.0.1", 1, false}}},
      {"h:65535", {{"h", 65535, false}}},
      {"h:0080", {{"h", 80, false}}},
      {"h:443", {{"h", 443, false}}},
      {"a;b,c d\te\nf\r\ng",
       {{"a", 80, false},
        {"b", 80, false},
        {"c", 80, false},
        {"d", 80, false},
        {"e", 80, false},
        {"f", 80, false},
        {"g", 80, false}}},
      {";;, a:1 ,, ;b:2;", {{"a", 1, false}, {"b", 2, false}}},
      {"[::1]:8080", {{"::1", 8080, false}}},
      {"[::1]", {{"::1", 80, false}}},
      {"[2001:DB8::7]:443;[fe80::1%eth0]:9", {{"2001:DB8::7", 443, false}, {"fe80::1%eth0", 9, false}}},
      {"[::ffff:127.0.0.1]:81", {{"::ffff:127.0.0.1", 81, false}}},
      {"a:1;a:1;a", {{"a", 1, false}, {"a", 1, false}, {"a", 80, false}}},
      {"my_host-1.local", {{"my_host-1.local", 80, false}}},
      // With a scheme: https defaults to port 443, http to 80.
      {"https://h", {{"h", 443, true}}},
      {"https://h:8443", {{"h", 8443, true}}},
      {"https://h:80", {{"h", 80, true}}},
      {"HTTPS://Accounts.Example:1/", {{"Accounts.Example", 1, true}}},
      {"http://h", {{"h", 80, false}}},
      {"http://h:443", {{"h", 443, false}}},
      {"HtTp://h:8080/", {{"h", 8080, false}}},
      {"https://[::1]", {{"::1", 443, true}}},
      {"https://[fe80::1%eth0]:9443/", {{"fe80::1%eth0", 9443, true}}},
      {"http://127.0.0.1:8080", {{"127.0.0.1", 8080, false}}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    servers_.Clear();
    EXPECT_EQ(servers_.Parse(c.text, true), static_cast<int>(c.expected.size()));
    EXPECT_EQ(Entries(), c.expected);
    EXPECT_EQ(servers_.GetServerCount(), static_cast<int>(c.expected.size()));
  }
}

TEST_F(LoginServersTest, SkipsBadEntries) {
  const std::vector<std::string> bad = {
      ":80",      // empty host
      "h:",       // empty port
      "h:8o",     // non-numeric port
      "h:+80",    // sign is not a digit
      "h:-1",     //
      "h:0",      // port 0
      "h:65536",  // above the range
      "h:99999999999999999999",
      "[::1",       // unclosed bracket
      "[::1]x",     // trailing garbage
      "[::1]:",     // empty port
      "[::1]:80x",  //
      "[]:80",      // empty host
      "[abc]",      // not an IPv6 literal
      "[::1%]",     // empty zone
      "::1",        // IPv6 without brackets
      "h:80:90",    //
      "h/path",     // would end up in the request line
      "user@h",     //
      "h?x",        //
      "\xc3\xa9.example",
      "ftp://h",       // only http and https
      "ftp://h:80",    //
      "httpss://h",    //
      "://h",          // empty scheme
      "https:/h",      // not a scheme separator: a port that is not a number
      "https//h",      // "/" in a host name
      "https://",      // no host
      "https://:443",  //
      "https://h:",    // empty port
      "https://h:0",   //
      "https://h:65536",
      "https://h//",    // a path ("https://h/" is fine)
      "https://h/x",    // paths
      "https://h/p",    //
      "https://h:1/x",  //
      "https://[::1]/x",
      "https://user@h",  // credentials would go into the URL
      "https://h?x",     //
      "https://h#x",     //
      "https://https://h",
      "https://::1",  // unbracketed IPv6
  };
  for (const std::string& entry : bad) {
    SCOPED_TRACE(entry);
    servers_.Clear();
    EXPECT_EQ(servers_.Parse("good:1;" + entry + ";other:2", true), 2);
    EXPECT_EQ(Entries(), (EntryList{{"good", 1, false}, {"other", 2, false}}));
  }
}

TEST_F(LoginServersTest, ArbitraryBytesNeverCrash) {
  // Every byte value in a few positions; the parser must only accept or skip.
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const std::string text = std::string("[") + c + "]:" + c + ";" + c + ":" + c + c + "[";
    servers_.Parse(text, false);
  }
  for (const CLoginServers::Server& s : servers_.GetServers()) {
    EXPECT_FALSE(s.host.empty());
    EXPECT_GE(s.port, 1);
    EXPECT_LE(s.port, 65535);
  }
}

TEST_F(LoginServersTest, ReplaceAndAppend) {
  EXPECT_EQ(servers_.Parse("a:1;b:2", true), 2);
  EXPECT_EQ(servers_.Parse("c:3", false), 1);
  EXPECT_EQ(Servers(), (ServerList{{"a", 1}, {"b", 2}, {"c", 3}}));
  EXPECT_EQ(servers_.Parse("d:4", true), 1);
  EXPECT_EQ(Servers(), (ServerList{{"d", 4}}));
}

// One operation may try every entry: the list never holds more than 64.
TEST_F(LoginServersTest, ListIsCappedAt64Entries) {
  std::string text = "bad:port;";
  for (int i = 1; i <= 100; ++i) text += "h" + std::to_string(i) + ":" + std::to_string(i) + ";";
  EXPECT_EQ(servers_.Parse(text, true), 64);  // the first 64 usable ones
  ServerList list = Servers();
  ASSERT_EQ(list.size(), 64u);
  EXPECT_EQ(list.front(), (std::pair<std::string, int>{"h1", 1}));
  EXPECT_EQ(list.back(), (std::pair<std::string, int>{"h64", 64}));

  EXPECT_EQ(servers_.Parse("x:1", false), 0);  // appending to a full list
  servers_.SetDefaultServer("y:2", true);      // recorded, not added
  EXPECT_EQ(servers_.GetServerCount(), 64);
  EXPECT_EQ(servers_.GetDefaultServer(), "y:2");

  ASSERT_EQ(servers_.Parse(text.substr(0, text.find("h63:")), true), 62);
  EXPECT_EQ(servers_.Parse("x:1;y:2;z:3", false), 2);  // what still fits
  EXPECT_EQ(Servers().back(), (std::pair<std::string, int>{"y", 2}));
}

TEST_F(LoginServersTest, TextWithoutUsableEntryChangesNothing) {
  ASSERT_EQ(servers_.Parse("a:1;b:2", true), 2);
  Next();
  for (const char* text : {"", "  ;, ", "garbage:x", "<html>"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(servers_.Parse(text, true), 0);
    EXPECT_EQ(servers_.Parse(text, false), 0);
    EXPECT_EQ(Servers(), (ServerList{{"a", 1}, {"b", 2}}));
    EXPECT_EQ(Current(), (std::pair<std::string, int>{"b", 2}));
  }
}

TEST_F(LoginServersTest, EmptyListGivesEmptyHostAndPortZero) {
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"", 0}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"", 0}));
  EXPECT_EQ(servers_.GetServerCount(), 0);
  EXPECT_TRUE(servers_.GetServers().empty());
  // The three-value forms report no TLS either.
  EXPECT_EQ(CurrentEntry(), Entry("", 0, false));
  std::string host = "stale";
  int port = 9;
  bool secure = true;
  servers_.GetNextServer(host, port, secure);
  EXPECT_EQ(Entry(host, port, secure), Entry("", 0, false));
}

TEST_F(LoginServersTest, NextWrapsRoundToTheStart) {
  ASSERT_EQ(servers_.Parse("a:1;b:2;c:3", true), 3);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"a", 1}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"b", 2}));
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"b", 2}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"c", 3}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"a", 1}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"b", 2}));
}

TEST_F(LoginServersTest, SingleServerComesBackAtOnce) {
  ASSERT_EQ(servers_.Parse("only:9", true), 1);
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"only", 9}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"only", 9}));
}

TEST_F(LoginServersTest, ParseStartsAtTheRecordedDefault) {
  servers_.SetDefaultServer("b", false);  // recorded only: the list is empty
  EXPECT_EQ(servers_.GetDefaultServer(), "b");
  EXPECT_EQ(servers_.GetServerCount(), 0);

  ASSERT_EQ(servers_.Parse("a:1;b:80;c", true), 3);  // port 80 implied on both sides
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"b", 80}));

  ASSERT_EQ(servers_.Parse("a:1;b:81", true), 2);  // different port: not the default
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"a", 1}));

  ASSERT_EQ(servers_.Parse("x:5;B", true), 2);  // host names ignore case
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"B", 80}));
}

TEST_F(LoginServersTest, AppendMovesToTheDefault) {
  ASSERT_EQ(servers_.Parse("a;b", true), 2);
  servers_.SetDefaultServer("[::1]:7", false);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"a", 80}));
  ASSERT_EQ(servers_.Parse("[::1]:7", false), 1);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"::1", 7}));
}

TEST_F(LoginServersTest, SetDefaultServerSelectsOrAdds) {
  ASSERT_EQ(servers_.Parse("a:1;b:2;c:3", true), 3);
  servers_.SetDefaultServer("c:3", false);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"c", 3}));

  servers_.SetDefaultServer("d:4", false);  // missing, not added
  EXPECT_EQ(servers_.GetServerCount(), 3);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"c", 3}));
  EXPECT_EQ(servers_.GetDefaultServer(), "d:4");

  servers_.SetDefaultServer(" d:4 ", true);  // missing, appended and current
  EXPECT_EQ(Servers(), (ServerList{{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}}));
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"d", 4}));
  EXPECT_EQ(Next(), (std::pair<std::string, int>{"a", 1}));

  servers_.SetDefaultServer("d:4", true);  // present: not added twice
  EXPECT_EQ(servers_.GetServerCount(), 4);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"d", 4}));

  servers_.SetDefaultServer("bad:port", true);  // recorded, never added
  EXPECT_EQ(servers_.GetDefaultServer(), "bad:port");
  EXPECT_EQ(servers_.GetServerCount(), 4);
}

TEST_F(LoginServersTest, ClearForgetsListAndDefault) {
  ASSERT_EQ(servers_.Parse("a;b;https://h:7", true), 3);
  servers_.SetDefaultServer("b", false);
  servers_.Clear();
  EXPECT_EQ(servers_.GetServerCount(), 0);
  EXPECT_EQ(servers_.GetDefaultServer(), "");
  ASSERT_EQ(servers_.Parse("a;b", true), 2);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"a", 80}));
  // The addresses seen as "https" are forgotten too.
  ASSERT_EQ(servers_.Parse("h:7", true), 1);
  EXPECT_EQ(Entries(), (EntryList{{"h", 7, false}}));
}

TEST_F(ServerListScheme, MixedListKeepsEachEntrysScheme) {
  ASSERT_EQ(servers_.Parse("a:1, https://b:2 http://c:3;https://d", true), 4);
  EXPECT_EQ(Entries(), (EntryList{{"a", 1, false}, {"b", 2, true}, {"c", 3, false}, {"d", 443, true}}));
  // The three-value forms walk the list with the scheme; the two-value forms
  // are unchanged.
  EXPECT_EQ(CurrentEntry(), Entry("a", 1, false));
  std::string host;
  int port = 0;
  bool secure = false;
  servers_.GetNextServer(host, port, secure);
  EXPECT_EQ(Entry(host, port, secure), Entry("b", 2, true));
  servers_.GetNextServer(host, port);
  EXPECT_EQ(host + ":" + std::to_string(port), "c:3");
  servers_.GetNextServer(host, port, secure);
  EXPECT_EQ(Entry(host, port, secure), Entry("d", 443, true));
  servers_.GetNextServer(host, port, secure);
  EXPECT_EQ(Entry(host, port, secure), Entry("a", 1, false));
}

TEST_F(ServerListScheme, DefaultServerMatchesWithItsScheme) {
  ASSERT_EQ(servers_.Parse("https://a:1;https://b:2", true), 2);
  servers_.SetDefaultServer("https://b:2", false);
  EXPECT_EQ(CurrentEntry(), Entry("b", 2, true));
  EXPECT_EQ(servers_.GetDefaultServer(), "https://b:2");

  // A default on another port of the same host is another server.
  servers_.SetDefaultServer("https://a:443", false);
  EXPECT_EQ(CurrentEntry(), Entry("b", 2, true));
  EXPECT_EQ(servers_.GetServerCount(), 2);
  servers_.SetDefaultServer("https://a", true);  // port 443: appended
  EXPECT_EQ(CurrentEntry(), Entry("a", 443, true));
  EXPECT_EQ(servers_.GetServerCount(), 3);
}

// What the service pushes ("default_login_server" first, then a replacing
// "login_server"), and what it must not achieve.
void Push(const std::string& defaultServer, const std::string& list) {
  CLoginServers::Instance().SetDefaultServer(defaultServer, false);
  CLoginServers::Instance().Parse(list, true);
}

TEST_F(ServerListScheme, PushedBareEntriesDoNotDowngradeConfiguredTls) {
  ASSERT_EQ(servers_.Parse("https://a.example:8443;https://b.example;c.example:80", true), 3);
  Push("a.example:8443", "a.example:8443;http://B.EXAMPLE:443;c.example;d.example:8443");
  EXPECT_EQ(Entries(), (EntryList{{"a.example", 8443, true},
                                  {"B.EXAMPLE", 443, true},  // host case does not matter
                                  {"c.example", 80, false},  // configured plain, stays plain
                                  {"d.example", 8443, false}}));
  // The bare default matched the upgraded entry.
  EXPECT_EQ(CurrentEntry(), Entry("a.example", 8443, true));

  // Only the same host and port are upgraded.
  servers_.Parse("a.example;a.example:8444;b.example:80", true);
  EXPECT_EQ(Entries(),
            (EntryList{{"a.example", 80, false}, {"a.example", 8444, false}, {"b.example", 80, false}}));
  // The memory outlives lists that no longer name the address.
  servers_.Parse("a.example:8443", true);
  EXPECT_EQ(Entries(), (EntryList{{"a.example", 8443, true}}));
}

TEST_F(ServerListScheme, AnHttpsEntryUpgradesThePlainOnesAlreadyListed) {
  ASSERT_EQ(servers_.Parse("h:1;x:2;h:1", true), 3);
  servers_.SetDefaultServer("h:1", false);
  ASSERT_EQ(servers_.Parse("https://h:1", false), 1);
  EXPECT_EQ(Entries(), (EntryList{{"h", 1, true}, {"x", 2, false}, {"h", 1, true}, {"h", 1, true}}));
  // The recorded default followed as well, so it still matches.
  EXPECT_EQ(CurrentEntry(), Entry("h", 1, true));
  // Within one text, the order does not matter either.
  servers_.Clear();
  ASSERT_EQ(servers_.Parse("k:5;https://k:5", true), 2);
  EXPECT_EQ(Entries(), (EntryList{{"k", 5, true}, {"k", 5, true}}));
}

TEST_F(ServerListScheme, AnHttpsDefaultCountsAsSeen) {
  servers_.SetDefaultServer("https://h:7", false);
  ASSERT_EQ(servers_.Parse("h:7;g:7", true), 2);
  EXPECT_EQ(Entries(), (EntryList{{"h", 7, true}, {"g", 7, false}}));
  EXPECT_EQ(CurrentEntry(), Entry("h", 7, true));
}

TEST_F(ServerListScheme, AFloodOfPushedTlsNamesNeitherGrowsWithoutBoundNorEvictsEarlierOnes) {
  ASSERT_EQ(servers_.Parse("https://configured.example:9443", true), 1);
  // One text holds at most 64 entries: the flood comes as many pushes.
  for (int push = 0; push < 100; ++push) {
    std::string flood;
    for (int i = push * 50; i < (push + 1) * 50; ++i)
      flood += "https://h" + std::to_string(i) + ".example:1;";
    ASSERT_EQ(servers_.Parse(flood, true), 50);
  }
  // The application's address is still remembered...
  servers_.Parse("configured.example:9443;h0.example:1;h4999.example:1", true);
  const EntryList after = Entries();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], Entry("configured.example", 9443, true));
  EXPECT_EQ(after[1], Entry("h0.example", 1, true));
  // ...while names past the bound were not taken into the memory.
  EXPECT_EQ(after[2], Entry("h4999.example", 1, false));
}

}  // namespace
