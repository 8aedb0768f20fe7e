// Whole-file replacement and reads over the platform's file interface: the
// bytes as given, no temporary file left behind, and every failure leaving
// the old file byte for byte.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "hostlib/quillon.h"
#include "platform/AtomicFile.h"
#include "support/TempDir.h"
#include "transport/CacheFile.h"

namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Native(const std::string& directory, const std::string& name) {
  return directory + kPathSeparator + name;
}

TEST(AtomicFile, SeparatorIsThePlatformsOwn) {
#if defined(_WIN32)
  EXPECT_EQ(kPathSeparator, '\\');
#else
  EXPECT_EQ(kPathSeparator, '/');
#endif
}

TEST(AtomicFile, ReplacesWithTheExactBytesAndLeavesNothingElse) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = Native(dir.path(), "data.bin");
  const std::vector<std::string> contents = {
      std::string("line1\r\nline2\n\0after zero\xff\x1a", 27),  // text-mode traps
      std::string(200000, 'L'),                                 // many writes' worth
      "short",                                                  // no tail of the longer one
      "",                                                       // empty is a content too
  };
  for (const std::string& content : contents) {
    SCOPED_TRACE(content.size());
    ASSERT_TRUE(ReplaceFileAtomically(path, content));
    std::string back = "previous";
    ASSERT_TRUE(ReadWholeFile(path, back, kNoLimit));
    EXPECT_EQ(back, content);
    EXPECT_EQ(dir.Read("data.bin"), content);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"data.bin"});
  }
}

TEST(AtomicFile, FailuresLeaveTheOldFileAndNoTemporaryFile) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  dir.Write("data.bin", "old content");
  dir.Write("taken/inside", "x");  // a directory where the file should go

  struct Case {
    const char* label;
    std::string path;
  };
  const std::vector<Case> cases = {
      {"missing directory", Native(Native(dir.path(), "missing"), "data.bin")},
      {"a file in place of the directory", Native(Native(dir.path(), "data.bin"), "data.bin")},
      {"a directory in place of the file", Native(dir.path(), "taken")},
      {"empty path", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(ReplaceFileAtomically(c.path, "new content"));
  }
  EXPECT_EQ(dir.Read("data.bin"), "old content");
  EXPECT_EQ(dir.Read("taken/inside"), "x");
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"data.bin", "taken"}));
}

TEST(AtomicFile, LeftoverOfAnInterruptedWriterIsNoObstacle) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = Native(dir.path(), "data.bin");
  dir.Write("data.bin", "old");
  dir.Write("data.bin.tmpK1ll3d", "half of a");
  ASSERT_TRUE(ReplaceFileAtomically(path, "new"));
  EXPECT_EQ(dir.Read("data.bin"), "new");
  EXPECT_EQ(dir.Read("data.bin.tmpK1ll3d"), "half of a");
}

TEST(AtomicFile, ReadFailuresLeaveTheOutputAlone) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  dir.Write("sub/file", "x");
  for (const std::string& path : {Native(dir.path(), "absent"), Native(dir.path(), "sub"), std::string()}) {
    SCOPED_TRACE(path);
    std::string data = "untouched";
    EXPECT_FALSE(ReadWholeFile(path, data, kNoLimit));
    EXPECT_EQ(data, "untouched");
  }
  std::string data = "untouched";
  dir.Write("empty", "");
  EXPECT_TRUE(ReadWholeFile(Native(dir.path(), "empty"), data, kNoLimit));
  EXPECT_EQ(data, "");
}

#if !defined(_WIN32)
// What a hostile local user could put in the file's place: the read must
// neither block, nor run on, nor take more than its bound.
TEST(AtomicFile, ReadRefusesWhatIsNotABoundedRegularFile) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero = dir.path() + "/zero";
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  const std::string ten = dir.Write("ten", "0123456789");
  const std::string linkToTen = dir.path() + "/link";
  ASSERT_EQ(::symlink(ten.c_str(), linkToTen.c_str()), 0);
  struct Case {
    std::string path;
    std::size_t bound;
    bool readable;
  } cases[] = {
      {fifo, kNoLimit, false}, {zero, kNoLimit, false}, {ten, 9, false},
      {ten, 10, true},         {linkToTen, 10, true},   {dir.path(), kNoLimit, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " bound " + std::to_string(c.bound));
    std::string data = "untouched";
    EXPECT_EQ(ReadWholeFile(c.path, data, c.bound), c.readable);
    EXPECT_EQ(data, c.readable ? "0123456789" : "untouched");
  }
}
#endif

TEST(AtomicFile, CacheFileLivesBesideTheExecutableWithTheNativeSeparator) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  QUILLON::SetExeDirectory(dir.path());
  EXPECT_EQ(CacheFilePath(), Native(dir.path(), "cache.dat"));
  ASSERT_TRUE(WriteCacheFile(CacheFilePath(), "Z=cached"));
  std::string back;
  ASSERT_TRUE(ReadCacheFile(CacheFilePath(), back, kNoLimit));
  EXPECT_EQ(back, "Z=cached");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"cache.dat"});
  QUILLON::SetExeDirectory("");
}

}  // namespace
