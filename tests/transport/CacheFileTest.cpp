// The local catalogue cache: writing through a temporary file, reading back
// whole, and replaying through CLocalCmd.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/CommandProbe.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"
#include "support/TempDir.h"
#include "transport/CacheFile.h"
#include "transport/LocalCmd.h"

namespace {

using testsupport::Flatten;
using testsupport::ProbedCmd;
using testsupport::UnkeyedReply;
using LocalCmd = testsupport::ProbedLocalCmd;

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

const std::string kCatalogue = "result=0\n[servers]\n1=Tokyo,10.0.0.1,2,JP\n2=Paris,10.0.0.2,1,FR\n";

std::vector<std::string> DirectoryEntries(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Stores `raw` as a command that received it does.
void SaveAsCache(const std::string& raw) {
  ProbedCmd command("", 80);
  command.SetReply(raw);
  command.SaveCache();
}

class CacheFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    QUILLON::SetExeDirectory(dir.path());
  }
  void TearDown() override { QUILLON::SetExeDirectory(""); }

  std::string CachePath() const { return File("cache.dat"); }
  std::string File(const std::string& name) const { return dir.path() + "/" + name; }
  std::string Cached() const { return dir.Read("cache.dat"); }

  testsupport::TempDir dir{"envelope-test-"};
};

}  // namespace

TEST_F(CacheFileTest, PathIsBesideTheExecutable) {
  EXPECT_EQ(CacheFilePath(), dir.path() + "/cache.dat");
  QUILLON::SetExeDirectory(dir.path() + "/");
  EXPECT_EQ(CacheFilePath(), dir.path() + "/cache.dat");
}

TEST_F(CacheFileTest, SaveThenReplayGivesTheSameSections) {
  const std::string raw = UnkeyedReply(kCatalogue);
  ProbedCmd remote("", 80);
  ASSERT_EQ(remote.Parse(raw + std::string("\0trailing", 9)), 0);
  ASSERT_TRUE(remote.IsSucceeded());
  remote.SaveCache();
  // Stored exactly as received, up to the zero byte, nothing added.
  EXPECT_EQ(Cached(), raw);

  LocalCmd local("");
  ASSERT_EQ(local.Execute(1), 0);
  EXPECT_TRUE(local.IsSucceeded());
  EXPECT_EQ(local.Reply(), raw);
  EXPECT_EQ(Flatten(local.GetSections()), Flatten(remote.GetSections()));
}

TEST_F(CacheFileTest, KeyedReplyIsStoredEncodedAndDecodedOnReplay) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "catalogue key");
  const std::string raw = testsupport::KeyedReply('C', "catalogue key", kCatalogue);
  SaveAsCache(raw);
  EXPECT_EQ(Cached(), raw);

  LocalCmd local("");
  ASSERT_EQ(local.Execute(0), 0);
  EXPECT_TRUE(local.IsSucceeded());

  // Without the key at reading time the text passes through undecoded.
  GlobalCache::Instance().RemoveConfigItem("GC_CIPER_C");
  LocalCmd withoutKey("");
  const int rc = withoutKey.Execute(1);
  EXPECT_TRUE(rc == 0 || rc == RESULT_TRANSPORT_FAILURE) << rc;
  EXPECT_FALSE(withoutKey.IsSucceeded());
}

TEST_F(CacheFileTest, MultiLineReplyReplaysWhole) {
  // Base64 broken into lines, and a plain profile text of several lines.
  std::string wrapped = UnkeyedReply(kCatalogue);
  for (std::size_t at = 10; at < wrapped.size(); at += 12) wrapped.insert(at, "\r\n");
  for (const std::string& raw : {wrapped, kCatalogue}) {
    SaveAsCache(raw);
    EXPECT_EQ(Cached(), raw);
    LocalCmd local("");
    ASSERT_EQ(local.Execute(1), 0);
    EXPECT_TRUE(local.IsSucceeded());
    EXPECT_EQ(Flatten(local.GetSections()),
              "[]result=0;\n[servers]1=Tokyo,10.0.0.1,2,JP;2=Paris,10.0.0.2,1,FR;\n");
  }
}

TEST_F(CacheFileTest, LaterSaveReplacesWholeFile) {
  SaveAsCache(UnkeyedReply(kCatalogue + std::string(500, '#') + "\n"));
  const std::string shorter = UnkeyedReply("result=0\n");
  SaveAsCache(shorter);
  EXPECT_EQ(Cached(), shorter);  // no tail of the longer file
  struct stat info {};
  ASSERT_EQ(stat(CachePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"cache.dat"});
}

TEST_F(CacheFileTest, NoFileMeansMinusOneWithoutNetwork) {
  // A listening loopback server as the current account server: replaying
  // the cache must not connect to it.
  testsupport::ScriptedServer server;
  ASSERT_TRUE(server.Start());
  CLoginServers::Instance().Parse(server.HostPort(), true);

  LocalCmd local("");
  EXPECT_EQ(local.Execute(1), -1);
  EXPECT_EQ(local.Reply(), "");
  EXPECT_TRUE(local.GetSections().empty());
  EXPECT_FALSE(local.IsSucceeded());

  // Time for a stray connection to be accepted.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(server.Connections(), 0u);  // nobody knocked
  CLoginServers::Instance().Clear();
}

TEST_F(CacheFileTest, EmptyFileGivesEmptyReplyToParse) {
  ASSERT_FALSE(dir.Write("cache.dat", "").empty());
  LocalCmd local("");
  EXPECT_EQ(local.Execute(1), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(local.Reply(), "");
}

TEST_F(CacheFileTest, MissingDirectoryFailsCleanly) {
  ASSERT_FALSE(dir.Write("cache.dat", "old content").empty());
  for (const std::string& elsewhere : {File("missing"), File("cache.dat")}) {
    // A directory that does not exist, and a file in place of the directory.
    QUILLON::SetExeDirectory(elsewhere);
    SaveAsCache(UnkeyedReply(kCatalogue));  // silent
    EXPECT_FALSE(WriteCacheFile(CacheFilePath(), "data"));
    LocalCmd local("");
    EXPECT_EQ(local.Execute(1), -1);
  }
  EXPECT_EQ(Cached(), "old content");
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"cache.dat"});
}

TEST_F(CacheFileTest, FailedWriteLeavesOldFileByteForByte) {
  const std::string old = UnkeyedReply(kCatalogue);
  SaveAsCache(old);

  // A file size limit stands in for a full disk (and works as root too).
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WriteCacheFile(CachePath(), std::string(20000, 'n'));
  SaveAsCache(std::string(20000, 'n'));  // silent
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

  EXPECT_FALSE(written);
  EXPECT_EQ(Cached(), old);
  // The partial temporary file is gone.
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"cache.dat"});
  LocalCmd local("");
  ASSERT_EQ(local.Execute(1), 0);
  EXPECT_TRUE(local.IsSucceeded());
}

TEST_F(CacheFileTest, WriterThatDiedMidWriteLeavesOldFileReadable) {
  const std::string old = UnkeyedReply(kCatalogue);
  SaveAsCache(old);
  // What a writer killed before its rename leaves behind.
  ASSERT_FALSE(dir.Write("cache.dat.tmpK1ll3d", old.substr(0, old.size() / 2)).empty());

  LocalCmd local("");
  ASSERT_EQ(local.Execute(1), 0);
  EXPECT_TRUE(local.IsSucceeded());
  EXPECT_EQ(local.Reply(), old);

  // The next writer is not disturbed by the leftover.
  const std::string next = UnkeyedReply("result=0\n[servers]\n9=z\n");
  SaveAsCache(next);
  EXPECT_EQ(Cached(), next);
}

TEST_F(CacheFileTest, ReadIsBinaryAndWhole) {
  const std::string data = std::string("line1\r\nline2\n\0after zero\xff", 25);
  ASSERT_TRUE(WriteCacheFile(CachePath(), data));
  std::string back = "previous";
  ASSERT_TRUE(ReadCacheFile(CachePath(), back, kNoLimit));
  EXPECT_EQ(back, data);

  const std::string big(100000, 'b');
  ASSERT_TRUE(WriteCacheFile(CachePath(), big));
  ASSERT_TRUE(ReadCacheFile(CachePath(), back, kNoLimit));
  EXPECT_EQ(back, big);
}

TEST_F(CacheFileTest, ReadFailures) {
  std::string data = "untouched";
  EXPECT_FALSE(ReadCacheFile(File("absent.dat"), data, kNoLimit));
  EXPECT_FALSE(ReadCacheFile(dir.path(), data, kNoLimit));  // a directory
  EXPECT_FALSE(ReadCacheFile("", data, kNoLimit));
  EXPECT_EQ(data, "untouched");
  EXPECT_FALSE(WriteCacheFile("", "data"));
}
