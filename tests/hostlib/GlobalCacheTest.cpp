#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

std::string Text(const std::string& name) {
  std::string value = "<absent>";
  GlobalCache::Instance().GetConfigItem(name, value);
  return value;
}

TEST(GlobalCacheTest, InstanceIsOneObject) { EXPECT_EQ(&GlobalCache::Instance(), &GlobalCache::Instance()); }

TEST(GlobalCacheTest, TextItems) {
  GlobalCache& cache = GlobalCache::Instance();
  std::string value = "kept";
  EXPECT_EQ(cache.GetConfigItem("GC_T_ABSENT", value), 0);
  EXPECT_EQ(value, "kept");  // an absent item leaves the output alone

  EXPECT_EQ(cache.SetConfigItem("GC_T_A", std::string("one")), 1);
  EXPECT_EQ(Text("GC_T_A"), "one");
  EXPECT_EQ(cache.SetConfigItem("GC_T_A", "two"), 1);  // replaces
  EXPECT_EQ(Text("GC_T_A"), "two");
  EXPECT_EQ(cache.SetConfigItem("GC_T_A", static_cast<const char*>(nullptr)), 1);
  EXPECT_EQ(Text("GC_T_A"), "");
  const std::string binary("a\0b", 3);
  cache.SetConfigItem("GC_T_B", binary);
  EXPECT_EQ(Text("GC_T_B"), binary);

  EXPECT_EQ(cache.RemoveConfigItem("GC_T_A"), 1);
  EXPECT_EQ(cache.RemoveConfigItem("GC_T_A"), 0);
  EXPECT_EQ(Text("GC_T_A"), "<absent>");
}

TEST(GlobalCacheTest, IntegersAndTextMeet) {
  GlobalCache& cache = GlobalCache::Instance();
  const std::vector<std::pair<int, std::string>> numbers = {
      {0, "0"}, {42, "42"}, {-7, "-7"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}};
  for (const auto& n : numbers) {
    SCOPED_TRACE(n.second);
    EXPECT_EQ(cache.SetConfigItem("GC_T_INT", n.first), 1);
    EXPECT_EQ(Text("GC_T_INT"), n.second);
    int back = 12345;
    EXPECT_EQ(cache.GetConfigItem("GC_T_INT", back), 1);
    EXPECT_EQ(back, n.first);
  }

  const std::vector<std::pair<std::string, int>> texts = {
      {"15", 15}, {" 15x", 15}, {"abc", 0}, {"", 0}, {"99999999999", INT_MAX}};
  for (const auto& t : texts) {
    SCOPED_TRACE(t.first);
    cache.SetConfigItem("GC_T_TEXT", t.first);
    int value = -1;
    EXPECT_EQ(cache.GetConfigItem("GC_T_TEXT", value), 1);
    EXPECT_EQ(value, t.second);
  }

  int absent = 99;
  EXPECT_EQ(cache.GetConfigItem("GC_T_NONE", absent), 0);
  EXPECT_EQ(absent, 0);
}

TEST(GlobalCacheTest, GetConfigIntFallsBackWhenAbsentOrNotPositive) {
  GlobalCache& cache = GlobalCache::Instance();
  EXPECT_EQ(cache.GetConfigInt("GC_T_SETTING", 30000), 30000);
  const std::vector<std::pair<std::string, int>> cases = {{"500", 500}, {"1", 1},     {"0", 77},
                                                          {"-5", 77},   {"soon", 77}, {"", 77}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    cache.SetConfigItem("GC_T_SETTING", c.first);
    EXPECT_EQ(cache.GetConfigInt("GC_T_SETTING", 77), c.second);
  }
}

TEST(GlobalCacheTest, StoredPointersAreApartFromItems) {
  GlobalCache& cache = GlobalCache::Instance();
  int a = 1;
  int b = 2;
  EXPECT_EQ(cache.GetValue("GCP_T"), nullptr);
  EXPECT_EQ(cache.SetValue("GCP_T", &a), 1);
  EXPECT_EQ(cache.GetValue("GCP_T"), &a);
  cache.SetValue("GCP_T", &b);
  EXPECT_EQ(cache.GetValue("GCP_T"), &b);
  EXPECT_EQ(Text("GCP_T"), "<absent>");  // not a configuration item
  cache.SetConfigItem("GC_T_P", "x");
  EXPECT_EQ(cache.GetValue("GC_T_P"), nullptr);
  cache.SetValue("GCP_T", nullptr);
  EXPECT_EQ(cache.GetValue("GCP_T"), nullptr);
}

TEST(GlobalCacheTest, ClientCfgIsNullUntilSetAndNeverDangles) {
  GlobalCache& cache = GlobalCache::Instance();
  EXPECT_EQ(cache.GetClientCfg(), nullptr);  // fresh process per test case

  cache.SetClientCfg("agentA", "1.0");
  CClientCfg* first = cache.GetClientCfg();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->GetAgent(), "agentA");
  EXPECT_EQ(first->GetVersion(), "1.0");

  cache.SetClientCfg("agentB", "2.0");
  CClientCfg* second = cache.GetClientCfg();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(second->GetAgent(), "agentB");
  EXPECT_EQ(second->GetVersion(), "2.0");
  // The replaced object is still alive and unchanged.
  EXPECT_EQ(first->GetAgent(), "agentA");
  EXPECT_EQ(first->GetVersion(), "1.0");
}

}  // namespace
