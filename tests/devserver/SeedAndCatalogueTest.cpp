// Seed parsing, catalogue generation and listen/fault arguments.
#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "devserver/DevserverTestUtil.h"
#include "tools/devserver/Catalogue.h"
#include "tools/devserver/ListenSpec.h"
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

TEST(CatalogueTest, GeneratedCatalogueHasTheSizeOrderAndSpread) {
  for (int count : {0, 1, 10, 1000}) {
    SCOPED_TRACE(count);
    const auto groups = devserver::GenerateCatalogue(count);
    ASSERT_EQ(groups.size(), 4u);
    EXPECT_EQ(groups[0].name, "Asia");
    EXPECT_EQ(groups[3].name, "Oceania");
    std::set<int> ids;
    std::size_t total = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      // Dealt in turn: group sizes differ by at most one, earlier ones first.
      const std::size_t expected =
          static_cast<std::size_t>(count) / 4 + (g < static_cast<std::size_t>(count) % 4);
      EXPECT_EQ(groups[g].servers.size(), expected);
      for (std::size_t i = 0; i < groups[g].servers.size(); ++i) {
        const devserver::VpnServer& server = groups[g].servers[i];
        if (i > 0) {
          EXPECT_LT(groups[g].servers[i - 1].id, server.id);
        }
        EXPECT_GE(server.level, 1);
        EXPECT_LE(server.level, 3);
        EXPECT_NE(server.address.find(".example.net"), std::string::npos);
        EXPECT_EQ(server.name.find(','), std::string::npos);
        ids.insert(server.id);
      }
      total += groups[g].servers.size();
    }
    EXPECT_EQ(total, static_cast<std::size_t>(count));
    EXPECT_EQ(ids.size(), total);
    if (count > 0) {
      EXPECT_EQ(*ids.begin(), 1001);
      EXPECT_EQ(*ids.rbegin(), 1000 + count);
    }
  }
}

TEST(CatalogueTest, GenerationAndRatiosAreDeterministic) {
  const auto a = devserver::GenerateCatalogue(37);
  const auto b = devserver::GenerateCatalogue(37);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t g = 0; g < a.size(); ++g) {
    ASSERT_EQ(a[g].servers.size(), b[g].servers.size());
    for (std::size_t i = 0; i < a[g].servers.size(); ++i) {
      EXPECT_EQ(devserver::FormatServerEntry(a[g].servers[i]), devserver::FormatServerEntry(b[g].servers[i]));
    }
  }
  std::set<int> seen;
  for (int id = 1; id <= 200; ++id) {
    const int percent = devserver::OnlineRatioPercent(id);
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
    EXPECT_EQ(percent, devserver::OnlineRatioPercent(id));
    seen.insert(percent);
  }
  EXPECT_GT(seen.size(), 20u) << "ratios should vary between servers";
}

TEST(CatalogueTest, ServerEntryRoundTripAndRejects) {
  devserver::VpnServer server;
  ASSERT_TRUE(devserver::ParseServerEntry("Tokyo 1,tyo.example.net,3,Japan", &server));
  EXPECT_EQ(server.name, "Tokyo 1");
  EXPECT_EQ(server.level, 3);
  EXPECT_EQ(devserver::FormatServerEntry(server), "Tokyo 1,tyo.example.net,3,Japan");
  for (const char* bad : {"", "a,b,1", "a,b,1,c,d", ",b,1,c", "a,,1,c", "a,b,,c", "a,b,1.5,c"}) {
    EXPECT_FALSE(devserver::ParseServerEntry(bad, &server)) << bad;
  }
}

TEST(ListenSpecTest, ParsesHostPortForms) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:0", true, "127.0.0.1", 0}, {"127.0.0.2:8080", true, "127.0.0.2", 8080},
      {"[::1]:65535", true, "::1", 65535},   {"localhost:1", true, "localhost", 1},
      {"127.0.0.1:65536", false, "", 0},     {"127.0.0.1:-1", false, "", 0},
      {"127.0.0.1:", false, "", 0},          {":80", false, "", 0},
      {"127.0.0.1", false, "", 0},           {"::1:80", false, "", 0},
      {"127.0.0.1:8o", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    devserver::ListenSpec spec;
    std::string error;
    EXPECT_EQ(devserver::ParseListenSpec(c.text, &spec, &error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(spec.host, c.host);
    EXPECT_EQ(spec.port, c.port);
    EXPECT_EQ(devserver::FormatAddress(spec.host, spec.port), c.text);
  }
}

TEST(ListenSpecTest, OnlyLoopbackAddressesCountAsLoopback) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true}, {"127.200.3.4", true}, {"::1", true},       {"::ffff:127.0.0.2", true},
      {"0.0.0.0", false},  {"::", false},         {"10.1.2.3", false}, {"128.0.0.1", false},
      {"::2", false},      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(devserver::IsLoopbackHost(c.first), c.second) << c.first;
}

TEST(ListenSpecTest, FaultsGoToTheFirstMatchingListenerWithoutOne) {
  std::vector<devserver::ListenSpec> specs(3);
  std::string error;
  ASSERT_TRUE(devserver::ParseListenSpec("127.0.0.1:0", &specs[0], &error));
  ASSERT_TRUE(devserver::ParseListenSpec("127.0.0.1:0", &specs[1], &error));
  ASSERT_TRUE(devserver::ParseListenSpec("127.0.0.2:0", &specs[2], &error));
  EXPECT_TRUE(devserver::ApplyFault("127.0.0.1:0=500", &specs, &error)) << error;
  EXPECT_TRUE(devserver::ApplyFault("127.0.0.1:0=close", &specs, &error)) << error;
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.1:0=stall", &specs, &error));
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.2:0=teapot", &specs, &error));
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.2:0", &specs, &error));
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.3:0=refuse", &specs, &error));
  EXPECT_EQ(specs[0].fault, devserver::FaultMode::kStatus500);
  EXPECT_EQ(specs[1].fault, devserver::FaultMode::kClose);
  EXPECT_EQ(specs[2].fault, devserver::FaultMode::kNone);

  for (const char* name : {"refuse", "500", "close", "stall", "garbage"}) {
    devserver::FaultMode mode = devserver::FaultMode::kNone;
    ASSERT_TRUE(devserver::ParseFaultMode(name, &mode)) << name;
    EXPECT_STREQ(devserver::FaultModeName(mode), name);
  }
}

TEST(CipherKeysTest, ParseAndRandom) {
  devserver::CipherKeys keys;
  std::string error;
  ASSERT_TRUE(devserver::CipherKeys::Parse("k1,k 2,k3", &keys, &error)) << error;
  EXPECT_EQ(keys.m2, "k 2");
  EXPECT_EQ(*keys.ForLetter('C'), "k3");
  EXPECT_EQ(keys.ForLetter('Z'), nullptr);
  EXPECT_EQ(keys.ForLetter('a'), nullptr);
  for (const char* bad : {"", "a,b", "a,b,c,d", "a,,c", "a,b,", "a,b\n,c"}) {
    EXPECT_FALSE(devserver::CipherKeys::Parse(bad, &keys, &error)) << bad;
  }
  const devserver::CipherKeys one = devserver::CipherKeys::Random();
  const devserver::CipherKeys two = devserver::CipherKeys::Random();
  EXPECT_EQ(one.m1.size(), 24u);
  EXPECT_NE(one.m1, one.m2);
  EXPECT_NE(one.m1, two.m1);
}

}  // namespace
