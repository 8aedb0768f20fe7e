#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

std::string OwnDirectory() {
  char buffer[4096] = {};
  const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (length <= 0) return std::string();
  std::string exe(buffer, static_cast<std::size_t>(length));
  return exe.substr(0, exe.rfind('/'));
}

TEST(ExeDirectoryTest, ReportsTheExecutablesDirectory) {
  std::string path = "before";
  ASSERT_TRUE(QUILLON::GetExeDirectory(path));
  EXPECT_EQ(path, OwnDirectory());
  EXPECT_FALSE(path.empty());
  EXPECT_NE(path.back(), '/');
}

TEST(ExeDirectoryTest, OverrideDropsTrailingSeparators) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/var/lib/app", "/var/lib/app"},
      {"/var/lib/app/", "/var/lib/app"},
      {"/var/lib/app///", "/var/lib/app"},
      {"relative/dir/", "relative/dir"},
      {"/", "/"},
      {"///", "/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    QUILLON::SetExeDirectory(c.first);
    std::string path;
    ASSERT_TRUE(QUILLON::GetExeDirectory(path));
    EXPECT_EQ(path, c.second);
  }
}

TEST(ExeDirectoryTest, EmptyOverrideRestoresTheDefault) {
  QUILLON::SetExeDirectory("/somewhere/else");
  std::string path;
  ASSERT_TRUE(QUILLON::GetExeDirectory(path));
  EXPECT_EQ(path, "/somewhere/else");
  QUILLON::SetExeDirectory("");
  ASSERT_TRUE(QUILLON::GetExeDirectory(path));
  EXPECT_EQ(path, OwnDirectory());
}

}  // namespace
