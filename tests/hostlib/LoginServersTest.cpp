#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

using ServerList = std::vector<std::pair<std::string, int>>;

ServerList Servers() {
  ServerList out;
  for (const CLoginServers::Server& s : CLoginServers::Instance().GetServers()) {
    out.emplace_back(s.host, s.port);
  }
  return out;
}

std::pair<std::string, int> Current() {
  std::string host = "untouched";
  int port = -1;
  CLoginServers::Instance().GetCurrServer(host, port);
  return {host, port};
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
  CLoginServers& servers_ = CLoginServers::Instance();
};

struct ParseCase {
  const char* text;
  ServerList expected;
};

TEST_F(LoginServersTest, ParsesFormatsAndSeparators) {
  const std::vector<ParseCase> cases = {
      {"a.example.com", {{"a.example.com", 80}}},
      {"a.example.com:8080", {{"a.example.com", 8080}}},
      {"127.0.0.1:1", {{"127.0.0.1", 1}}},
      {"h:65535", {{"h", 65535}}},
      {"h:0080", {{"h", 80}}},
      {"a;b,c d\te\nf\r\ng", {{"a", 80}, {"b", 80}, {"c", 80}, {"d", 80}, {"e", 80}, {"f", 80}, {"g", 80}}},
      {";;, a:1 ,, ;b:2;", {{"a", 1}, {"b", 2}}},
      {"[::1]:8080", {{"::1", 8080}}},
      {"[::1]", {{"::1", 80}}},
      {"[2001:DB8::7]:443;[fe80::1%eth0]:9", {{"2001:DB8::7", 443}, {"fe80::1%eth0", 9}}},
      {"[::ffff:127.0.0.1]:81", {{"::ffff:127.0.0.1", 81}}},
      {"a:1;a:1;a", {{"a", 1}, {"a", 1}, {"a", 80}}},
      {"my_host-1.local", {{"my_host-1.local", 80}}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    servers_.Clear();
    EXPECT_EQ(servers_.Parse(c.text, true), static_cast<int>(c.expected.size()));
    EXPECT_EQ(Servers(), c.expected);
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
      "[::1",         // unclosed bracket
      "[::1]x",       // trailing garbage
      "[::1]:",       // empty port
      "[::1]:80x",    //
      "[]:80",        // empty host
      "[abc]",        // not an IPv6 literal
      "[::1%]",       // empty zone
      "::1",          // IPv6 without brackets
      "h:80:90",      //
      "ftp://h:80",   // only http and https
      "https://h/p",  // no path
      "h/path",       // would end up in the request line
      "user@h",       //
      "h?x",          //
      "\xc3\xa9.example",
  };
  for (const std::string& entry : bad) {
    SCOPED_TRACE(entry);
    servers_.Clear();
    EXPECT_EQ(servers_.Parse("good:1;" + entry + ";other:2", true), 2);
    EXPECT_EQ(Servers(), (ServerList{{"good", 1}, {"other", 2}}));
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
  ASSERT_EQ(servers_.Parse("a;b", true), 2);
  servers_.SetDefaultServer("b", false);
  servers_.Clear();
  EXPECT_EQ(servers_.GetServerCount(), 0);
  EXPECT_EQ(servers_.GetDefaultServer(), "");
  ASSERT_EQ(servers_.Parse("a;b", true), 2);
  EXPECT_EQ(Current(), (std::pair<std::string, int>{"a", 80}));
}

}  // namespace
