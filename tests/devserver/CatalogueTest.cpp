// The generated catalogue and its online ratios, and server entry text.
#include <gtest/gtest.h>

#include <set>

#include "tools/devserver/Catalogue.h"

namespace {

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

}  // namespace
