// The shared temporary-directory helper the loopback tests rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/TempDir.h"

namespace {

bool Exists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

TEST(TempDir, PrivateDirectoryRemovedWithItsContents) {
  std::string path;
  {
    testsupport::TempDir first;
    testsupport::TempDir second;
    ASSERT_TRUE(first.ok());
    ASSERT_TRUE(second.ok());
    EXPECT_NE(first.path(), second.path());
    path = first.path();
    const std::string bytes("a\0b\xFF\r\n", 6);
    const std::string file = first.Write("nested/deeper/file.bin", bytes);
    ASSERT_FALSE(file.empty());
    EXPECT_TRUE(Exists(file));
    EXPECT_EQ(first.Read("nested/deeper/file.bin"), bytes);
    EXPECT_EQ(first.Read("missing"), "");
  }
  EXPECT_FALSE(Exists(path));
}

}  // namespace
