// Login-server entries with a scheme, and the rule that a server once seen as
// "https" is never reached in clear text again.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "hostlib/quillon.h"

namespace {

using Entry = std::tuple<std::string, int, bool>;  // host, port, secure
using EntryList = std::vector<Entry>;

EntryList Servers() {
  EntryList list;
  for (const CLoginServers::Server& s : CLoginServers::Instance().GetServers()) {
    list.emplace_back(s.host, s.port, s.secure);
  }
  return list;
}

Entry Current() {
  std::string host;
  int port = -1;
  bool secure = true;
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  return Entry(host, port, secure);
}

class ServerListScheme : public ::testing::Test {
 protected:
  void SetUp() override { servers_.Clear(); }
  void TearDown() override { servers_.Clear(); }
  CLoginServers& servers_ = CLoginServers::Instance();
};

TEST_F(ServerListScheme, EntriesWithASchemeParse) {
  struct Case {
    std::string text;
    Entry expected;
  };
  const std::vector<Case> cases = {
      {"https://h", {"h", 443, true}},
      {"https://h:8443", {"h", 8443, true}},
      {"https://h:80", {"h", 80, true}},
      {"HTTPS://Accounts.Example:1/", {"Accounts.Example", 1, true}},
      {"http://h", {"h", 80, false}},
      {"http://h:443", {"h", 443, false}},
      {"HtTp://h:8080/", {"h", 8080, false}},
      {"h", {"h", 80, false}},
      {"h:443", {"h", 443, false}},
      {"https://[::1]", {"::1", 443, true}},
      {"https://[fe80::1%eth0]:9443/", {"fe80::1%eth0", 9443, true}},
      {"http://127.0.0.1:8080", {"127.0.0.1", 8080, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    servers_.Clear();
    ASSERT_EQ(servers_.Parse(c.text, true), 1);
    EXPECT_EQ(Servers(), EntryList{c.expected});
  }
}

TEST_F(ServerListScheme, MalformedSchemeEntriesAreSkipped) {
  const std::vector<std::string> bad = {
      "ftp://h",       // other schemes
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
    EXPECT_EQ(servers_.Parse("a:1;" + entry + ";b:2", true), 2);
    EXPECT_EQ(Servers(), (EntryList{{"a", 1, false}, {"b", 2, false}}));
  }
}

TEST_F(ServerListScheme, MixedListKeepsEachEntrysScheme) {
  ASSERT_EQ(servers_.Parse("a:1, https://b:2 http://c:3;https://d", true), 4);
  EXPECT_EQ(Servers(), (EntryList{{"a", 1, false}, {"b", 2, true}, {"c", 3, false}, {"d", 443, true}}));
  // The three-value forms walk the list with the scheme; the two-value forms
  // are unchanged.
  EXPECT_EQ(Current(), Entry("a", 1, false));
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

TEST_F(ServerListScheme, EmptyListReportsNoServerAndNoTls) {
  std::string host = "stale";
  int port = 9;
  bool secure = true;
  servers_.GetCurrServer(host, port, secure);
  EXPECT_EQ(Entry(host, port, secure), Entry("", 0, false));
  secure = true;
  servers_.GetNextServer(host, port, secure);
  EXPECT_EQ(Entry(host, port, secure), Entry("", 0, false));
}

TEST_F(ServerListScheme, DefaultServerMatchesWithItsScheme) {
  ASSERT_EQ(servers_.Parse("https://a:1;https://b:2", true), 2);
  servers_.SetDefaultServer("https://b:2", false);
  EXPECT_EQ(Current(), Entry("b", 2, true));
  EXPECT_EQ(servers_.GetDefaultServer(), "https://b:2");

  // A default on another port of the same host is another server.
  servers_.SetDefaultServer("https://a:443", false);
  EXPECT_EQ(Current(), Entry("b", 2, true));
  EXPECT_EQ(servers_.GetServerCount(), 2);
  servers_.SetDefaultServer("https://a", true);  // port 443: appended
  EXPECT_EQ(Current(), Entry("a", 443, true));
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
  EXPECT_EQ(Servers(), (EntryList{{"a.example", 8443, true},
                                  {"B.EXAMPLE", 443, true},  // host case does not matter
                                  {"c.example", 80, false},  // configured plain, stays plain
                                  {"d.example", 8443, false}}));
  // The bare default matched the upgraded entry.
  EXPECT_EQ(Current(), Entry("a.example", 8443, true));

  // Only the same host and port are upgraded.
  servers_.Parse("a.example;a.example:8444;b.example:80", true);
  EXPECT_EQ(Servers(),
            (EntryList{{"a.example", 80, false}, {"a.example", 8444, false}, {"b.example", 80, false}}));
  // The memory outlives lists that no longer name the address.
  servers_.Parse("a.example:8443", true);
  EXPECT_EQ(Servers(), (EntryList{{"a.example", 8443, true}}));
}

TEST_F(ServerListScheme, AnHttpsEntryUpgradesThePlainOnesAlreadyListed) {
  ASSERT_EQ(servers_.Parse("h:1;x:2;h:1", true), 3);
  servers_.SetDefaultServer("h:1", false);
  ASSERT_EQ(servers_.Parse("https://h:1", false), 1);
  EXPECT_EQ(Servers(), (EntryList{{"h", 1, true}, {"x", 2, false}, {"h", 1, true}, {"h", 1, true}}));
  // The recorded default followed as well, so it still matches.
  EXPECT_EQ(Current(), Entry("h", 1, true));
  // Within one text, the order does not matter either.
  servers_.Clear();
  ASSERT_EQ(servers_.Parse("k:5;https://k:5", true), 2);
  EXPECT_EQ(Servers(), (EntryList{{"k", 5, true}, {"k", 5, true}}));
}

TEST_F(ServerListScheme, AnHttpsDefaultCountsAsSeen) {
  servers_.SetDefaultServer("https://h:7", false);
  ASSERT_EQ(servers_.Parse("h:7;g:7", true), 2);
  EXPECT_EQ(Servers(), (EntryList{{"h", 7, true}, {"g", 7, false}}));
  EXPECT_EQ(Current(), Entry("h", 7, true));
}

TEST_F(ServerListScheme, ClearForgetsTheTlsAddresses) {
  ASSERT_EQ(servers_.Parse("https://h:7", true), 1);
  servers_.Clear();
  ASSERT_EQ(servers_.Parse("h:7", true), 1);
  EXPECT_EQ(Servers(), (EntryList{{"h", 7, false}}));
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
  const EntryList after = Servers();
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[0], Entry("configured.example", 9443, true));
  EXPECT_EQ(after[1], Entry("h0.example", 1, true));
  // ...while names past the bound were not taken into the memory.
  EXPECT_EQ(after[2], Entry("h4999.example", 1, false));
}

}  // namespace
