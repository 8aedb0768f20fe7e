// The local catalogue cache: writing through a temporary file, reading back
// whole, and replaying through CLocalCmd.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/KeyLetters.h"
#include "tests/envelope/EnvelopeTestUtil.h"
#include "transport/CacheFile.h"
#include "transport/LocalCmd.h"

namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

const std::string kCatalogue = "result=0\n[servers]\n1=Tokyo,10.0.0.1,2,JP\n2=Paris,10.0.0.2,1,FR\n";

std::vector<std::string> DirectoryEntries(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

class CacheFileTest : public ::testing::Test {
 protected:
  void SetUp() override { QUILLON::SetExeDirectory(dir.path()); }
  void TearDown() override { QUILLON::SetExeDirectory(""); }

  std::string CachePath() const { return dir.File("cache.dat"); }

  ScratchDir dir;
};

}  // namespace

TEST_F(CacheFileTest, PathIsBesideTheExecutable) {
  EXPECT_EQ(CacheFilePath(), dir.path() + "/cache.dat");
  QUILLON::SetExeDirectory(dir.path() + "/");
  EXPECT_EQ(CacheFilePath(), dir.path() + "/cache.dat");
}

TEST_F(CacheFileTest, SaveThenReplayGivesTheSameSections) {
  const std::string raw = UnkeyedReply(kCatalogue);
  ReplyCmd remote;
  ASSERT_EQ(remote.Parse(raw + std::string("\0trailing", 9)), 0);
  ASSERT_TRUE(remote.IsSucceeded());
  remote.SaveCache();
  // Stored exactly as received, up to the zero byte, nothing added.
  EXPECT_EQ(ReadBytes(CachePath()), raw);

  CLocalCmd local("");
  ASSERT_EQ(local.Execute(1), 0);
  EXPECT_TRUE(local.IsSucceeded());
  EXPECT_EQ(local.GetReply(), raw);
  EXPECT_EQ(Flatten(local.GetSections()), Flatten(remote.GetSections()));
}

TEST_F(CacheFileTest, KeyedReplyIsStoredEncodedAndDecodedOnReplay) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "catalogue key");
  const std::string raw = "C=" + Base64Encode(TwofishEncrypt(DeriveKey("catalogue key"), kCatalogue));
  ReplyCmd(raw).SaveCache();
  EXPECT_EQ(ReadBytes(CachePath()), raw);

  CLocalCmd local("");
  ASSERT_EQ(local.Execute(0), 0);
  EXPECT_TRUE(local.IsSucceeded());

  // Without the key at reading time the text passes through undecoded.
  GlobalCache::Instance().RemoveConfigItem("GC_CIPER_C");
  CLocalCmd withoutKey("");
  const int rc = withoutKey.Execute(1);
  EXPECT_TRUE(rc == 0 || rc == RESULT_TRANSPORT_FAILURE) << rc;
  EXPECT_FALSE(withoutKey.IsSucceeded());
}

TEST_F(CacheFileTest, MultiLineReplyReplaysWhole) {
  // Base64 broken into lines, and a plain profile text of several lines.
  std::string wrapped = UnkeyedReply(kCatalogue);
  for (std::size_t at = 10; at < wrapped.size(); at += 12) wrapped.insert(at, "\r\n");
  for (const std::string& raw : {wrapped, kCatalogue}) {
    ReplyCmd(raw).SaveCache();
    EXPECT_EQ(ReadBytes(CachePath()), raw);
    CLocalCmd local("");
    ASSERT_EQ(local.Execute(1), 0);
    EXPECT_TRUE(local.IsSucceeded());
    EXPECT_EQ(Flatten(local.GetSections()),
              "[]result=0;\n[servers]1=Tokyo,10.0.0.1,2,JP;2=Paris,10.0.0.2,1,FR;\n");
  }
}

TEST_F(CacheFileTest, LaterSaveReplacesWholeFile) {
  ReplyCmd(UnkeyedReply(kCatalogue + std::string(500, '#') + "\n")).SaveCache();
  const std::string shorter = UnkeyedReply("result=0\n");
  ReplyCmd(shorter).SaveCache();
  EXPECT_EQ(ReadBytes(CachePath()), shorter);  // no tail of the longer file
  struct stat info {};
  ASSERT_EQ(stat(CachePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"cache.dat"});
}

TEST_F(CacheFileTest, NoFileMeansMinusOneWithoutNetwork) {
  // A listening loopback server as the current account server: replaying
  // the cache must not connect to it.
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof(address);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  CLoginServers::Instance().Parse("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), true);

  CLocalCmd local("");
  EXPECT_EQ(local.Execute(1), -1);
  EXPECT_EQ(local.GetReply(), "");
  EXPECT_TRUE(local.GetSections().empty());
  EXPECT_FALSE(local.IsSucceeded());

  EXPECT_LT(accept(listener, nullptr, nullptr), 0);  // nobody knocked
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  close(listener);
  CLoginServers::Instance().Clear();
}

TEST_F(CacheFileTest, EmptyFileGivesEmptyReplyToParse) {
  WriteBytes(CachePath(), "");
  CLocalCmd local("");
  EXPECT_EQ(local.Execute(1), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(local.GetReply(), "");
}

TEST_F(CacheFileTest, MissingDirectoryFailsCleanly) {
  WriteBytes(CachePath(), "old content");
  for (const std::string& elsewhere : {dir.File("missing"), dir.File("cache.dat")}) {
    // A directory that does not exist, and a file in place of the directory.
    QUILLON::SetExeDirectory(elsewhere);
    ReplyCmd(UnkeyedReply(kCatalogue)).SaveCache();  // silent
    EXPECT_FALSE(WriteCacheFile(CacheFilePath(), "data"));
    CLocalCmd local("");
    EXPECT_EQ(local.Execute(1), -1);
  }
  EXPECT_EQ(ReadBytes(CachePath()), "old content");
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"cache.dat"});
}

TEST_F(CacheFileTest, FailedWriteLeavesOldFileByteForByte) {
  const std::string old = UnkeyedReply(kCatalogue);
  ReplyCmd(old).SaveCache();

  // A file size limit stands in for a full disk (and works as root too).
  signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WriteCacheFile(CachePath(), std::string(20000, 'n'));
  ReplyCmd(std::string(20000, 'n')).SaveCache();  // silent
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);

  EXPECT_FALSE(written);
  EXPECT_EQ(ReadBytes(CachePath()), old);
  // The partial temporary file is gone.
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"cache.dat"});
  CLocalCmd local("");
  ASSERT_EQ(local.Execute(1), 0);
  EXPECT_TRUE(local.IsSucceeded());
}

TEST_F(CacheFileTest, WriterThatDiedMidWriteLeavesOldFileReadable) {
  const std::string old = UnkeyedReply(kCatalogue);
  ReplyCmd(old).SaveCache();
  // What a writer killed before its rename leaves behind.
  WriteBytes(CachePath() + ".tmpK1ll3d", old.substr(0, old.size() / 2));

  CLocalCmd local("");
  ASSERT_EQ(local.Execute(1), 0);
  EXPECT_TRUE(local.IsSucceeded());
  EXPECT_EQ(local.GetReply(), old);

  // The next writer is not disturbed by the leftover.
  const std::string next = UnkeyedReply("result=0\n[servers]\n9=z\n");
  ReplyCmd(next).SaveCache();
  EXPECT_EQ(ReadBytes(CachePath()), next);
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
  EXPECT_FALSE(ReadCacheFile(dir.File("absent.dat"), data, kNoLimit));
  EXPECT_FALSE(ReadCacheFile(dir.path(), data, kNoLimit));  // a directory
  EXPECT_FALSE(ReadCacheFile("", data, kNoLimit));
  EXPECT_EQ(data, "untouched");
  EXPECT_FALSE(WriteCacheFile("", "data"));
}
