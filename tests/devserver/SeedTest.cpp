// Seed parsing: the shipped seed, every section, and the mistakes refused.
#include <gtest/gtest.h>

#include "devserver/DevserverTestUtil.h"
#include "tools/devserver/Seed.h"

namespace {

using devserver::ParseSeed;
using devserver::SeedData;

TEST(SeedTest, ShippedSeedParses) {
  SeedData seed;
  std::string error;
  ASSERT_TRUE(ParseSeed(devserver::DefaultSeedText(), &seed, &error)) << error;
  EXPECT_FALSE(seed.version.empty());
  EXPECT_GE(seed.accounts.size(), 2u);
  EXPECT_FALSE(seed.cards.empty());
  EXPECT_FALSE(seed.groups.empty());
  EXPECT_FALSE(seed.pools[devserver::kSharedPool].empty());
}

TEST(SeedTest, ReadsEverySection) {
  const SeedData seed = devserver_test::TestSeed();
  ASSERT_EQ(seed.version, "9.8.7");
  EXPECT_EQ(seed.heartbeatSlot, 45);
  EXPECT_EQ(seed.onlineratioSlot, 120);
  ASSERT_EQ(seed.serverLevels.size(), 2u);
  EXPECT_EQ(seed.serverLevels[1], (std::pair<int, std::string>(2, "Silver")));
  EXPECT_EQ(seed.warning.tip, 1);
  EXPECT_EQ(seed.warning.message, "maintenance tonight");
  ASSERT_EQ(seed.accounts.size(), 2u);
  EXPECT_EQ(seed.accounts[0].username, "alice");
  EXPECT_EQ(seed.accounts[0].timetip, 4);
  // bob names only a password: the rest comes from [new_account].
  EXPECT_EQ(seed.accounts[1].moneyleft, 5);
  EXPECT_EQ(seed.accounts[1].timeleft, "1 day");
  ASSERT_EQ(seed.cards.size(), 2u);
  EXPECT_EQ(seed.cards[1].value, 2147483600);
  ASSERT_EQ(seed.groups.size(), 2u);
  EXPECT_EQ(seed.groups[0].name, "Europe");
  ASSERT_EQ(seed.groups[0].servers.size(), 2u);
  EXPECT_EQ(seed.groups[0].servers[1].id, 102);
  EXPECT_EQ(seed.groups[0].servers[1].location, "France");
  ASSERT_EQ(seed.pools.at("101").size(), 1u);
  EXPECT_EQ(seed.pools.at("101")[0].lendpassword, "p101");
}

TEST(SeedTest, TrimsBlanksAndMergesRepeatedGroupsAndPools) {
  const char* text =
      "[group: West ]\n 1 = A , a.example , 2 , X \n"
      "[pool:007]\nu1 = p1\n"
      "[group:West]\n2=B,b.example,1,Y\r\n"
      "[pool:7]\nu2=p2\n";
  SeedData seed;
  std::string error;
  ASSERT_TRUE(ParseSeed(text, &seed, &error)) << error;
  ASSERT_EQ(seed.groups.size(), 1u);
  ASSERT_EQ(seed.groups[0].servers.size(), 2u);
  EXPECT_EQ(seed.groups[0].servers[0].name, "A");
  EXPECT_EQ(seed.groups[0].servers[0].address, "a.example");
  EXPECT_EQ(seed.groups[0].servers[0].level, 2);
  EXPECT_EQ(seed.groups[0].servers[1].location, "Y");
  ASSERT_EQ(seed.pools.at("7").size(), 2u);
  EXPECT_EQ(seed.pools.at("7")[0].lendusername, "u1");
}

TEST(SeedTest, RejectsMistakesWithAMessage) {
  struct Case {
    const char* text;
    const char* mentions;
  };
  const Case cases[] = {
      {"", "empty"},
      {"[service]\nversion\n", "line 2"},
      {"# ok\n[service]\nversion=1\ngarbage line\n", "line 4"},
      {"version=1\n", "inside a [section]"},
      {"[servise]\nversion=1\n", "unknown section"},
      {"[service]\nverison=1\n", "verison"},
      {"[service]\nheartbeat_slot=6o\n", "heartbeat_slot"},
      {"[account:]\npassword=x\n", "user name"},
      {"[account:a]\nuserlevel=1\n", "password"},
      {"[account:a]\npassword=x\n[account:a]\npassword=y\n", "twice"},
      {"[new_account]\npassword=x\n", "password"},
      {"[card:c]\ncardpw=x\n", "value"},
      {"[card:c]\nvalue=0\n", "positive"},
      {"[group:g]\nx=a,b,1,c\n", "\"x\""},
      {"[group:g]\n1=a,b,1\n", "<name>"},
      {"[group:g]\n1=a,b,one,c\n", "<name>"},
      {"[group:g]\n1=a,b,1,c\n[group:h]\n1=d,e,1,f\n", "twice"},
      {"[pool:abc]\nu=p\n", "server id"},
      {"[pool:shared]\nu=p\nu=q\n", "twice"},
      {"[serverlevel]\n1=a\n1=b\n", "twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SeedData seed;
    std::string error;
    EXPECT_FALSE(ParseSeed(c.text, &seed, &error));
    EXPECT_NE(error.find(c.mentions), std::string::npos) << error;
  }
}

}  // namespace
