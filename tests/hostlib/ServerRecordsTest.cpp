#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

struct FieldCase {
  std::string value;
  std::vector<std::string> fields;
};

TEST(ServerRecordsTest, SplitsValuesAtCommas) {
  const std::vector<FieldCase> cases = {
      {"Tokyo 1,198.51.100.7,2,JP", {"Tokyo 1", "198.51.100.7", "2", "JP"}},
      {"", {}},
      {"single", {"single"}},
      {",", {"", ""}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a", ""}},
      {",a", {"", "a"}},
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.value);
    const ServerInfo info("17", c.value);
    EXPECT_EQ(info.GetKey(), "17");
    EXPECT_EQ(info.GetValue(), c.value);
    EXPECT_EQ(info.GetFields(), c.fields);
    for (std::size_t i = 0; i < c.fields.size() + 2; ++i) {
      EXPECT_EQ(info.GetField(i), i < c.fields.size() ? c.fields[i] : std::string()) << i;
    }
    const ServerOnlineRatio ratio("17", c.value);
    EXPECT_EQ(ratio.GetFields(), c.fields);
    EXPECT_EQ(ratio.GetField(c.fields.size()), "");
  }
}

TEST(ServerRecordsTest, RatioReadsTheValueAsAnInteger) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"45", 45}, {"0", 0},   {"100", 100}, {" 7%", 7},
      {"-3", -3}, {"n/a", 0}, {"", 0},      {"12345678901", INT_MAX},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const ServerOnlineRatio ratio("3", c.first);
    EXPECT_EQ(ratio.GetKey(), "3");
    EXPECT_EQ(ratio.GetValue(), c.first);
    EXPECT_EQ(ratio.GetRatio(), c.second);
  }
}

}  // namespace
