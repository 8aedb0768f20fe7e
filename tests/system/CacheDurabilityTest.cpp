// The catalogue cache survives a writer killed at any moment: the file is
// always the old content or the new content, whole, never a mixture, a
// truncation or nothing, and a reader running meanwhile sees the same.
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/CommandProbe.h"
#include "support/ServiceSide.h"
#include "support/TempDir.h"
#include "transport/CacheFile.h"
#include "wire/Cipher.h"

namespace {

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

constexpr int kRounds = 40;
constexpr long kWritesPerChild = 100000;  // a bound; every child is killed long before

// Catalogue reply number `version`: one group named after the version, with
// a version-dependent number of servers, so sizes differ from write to write
// (about 2 KiB to 150 KiB) and any cut or mixture shows.
int ServerCount(long version) { return 40 + static_cast<int>((version * 7919) % 2500); }

std::string Catalogue(long version) {
  std::string text = "result=0\n[v" + std::to_string(version) + "]\n";
  for (int i = 0; i < ServerCount(version); ++i) {
    text += "s" + std::to_string(i) + "=name-" + std::to_string(version) + "-" + std::to_string(i) +
            ",10.0.0.1,1,Somewhere\n";
  }
  return testsupport::UnkeyedReply(text);
}

// The version a file holds, or -1 when it is not exactly one of the replies.
long VersionOf(const std::string& content) {
  const std::string text = Base64Decode(content.size() > 2 ? content.substr(2) : std::string());
  const std::size_t open = text.find("[v");
  if (open == std::string::npos) return -1;
  const long version = std::strtol(text.c_str() + open + 2, nullptr, 10);
  return version > 0 && Catalogue(version) == content ? version : -1;
}

// What the local catalogue operation makes of the file: the version when the
// catalogue came back complete, -1 otherwise.
long VersionThroughTheFacade() {
  ServerCatalogue servers;
  if (ProxyHelper::Instance().GetLocalVpnServers(servers) != 0 || servers.size() != 1) return -1;
  const std::string& group = servers.begin()->first;
  if (group.size() < 2 || group[0] != 'v') return -1;
  const long version = std::strtol(group.c_str() + 1, nullptr, 10);
  const std::vector<ServerInfo>& list = servers.begin()->second;
  if (version <= 0 || static_cast<int>(list.size()) != ServerCount(version)) return -1;
  const std::string last = "name-" + std::to_string(version) + "-" + std::to_string(list.size() - 1);
  return list.back().GetField(0) == last ? version : -1;
}

// Writes versions first, first + 1, ... alternating between the file writer
// and the command's SaveCache, and reports every completed write on `done`.
[[noreturn]] void WriterChild(const std::string& path, long first, int done) {
  for (long k = 0; k < kWritesPerChild; ++k) {
    const std::string content = Catalogue(first + k);
    if (k % 2 == 0) {
      if (!WriteCacheFile(path, content)) _exit(3);
    } else {
      // Stored the way the catalogue operation stores a reply.
      testsupport::ProbedCmd command("", 80);
      command.SetReply(content);
      command.SaveCache();
    }
    if (::write(done, "w", 1) != 1) _exit(4);
  }
  _exit(0);
}

// Reads through the facade until `stop` becomes readable (its writer end
// closed). Exit status: 0 all reads whole, 1 a bad read, 2 no read at all.
[[noreturn]] void ReaderChild(int stop) {
  long reads = 0;
  for (long i = 0; i < 1000000; ++i) {
    pollfd entry{stop, POLLIN, 0};
    if (::poll(&entry, 1, 0) != 0) break;
    if (VersionThroughTheFacade() < 0) _exit(1);
    ++reads;
  }
  _exit(reads > 0 ? 0 : 2);
}

// Waits until `count` completed writes were reported; false when the child
// went away or ten seconds passed.
bool AwaitWrites(int done, int count) {
  char byte;
  for (int got = 0; got < count;) {
    pollfd entry{done, POLLIN, 0};
    if (::poll(&entry, 1, 10000) != 1 || ::read(done, &byte, 1) != 1) return false;
    ++got;
  }
  return true;
}

TEST(CacheDurability, KilledWritersNeverLeaveAPartialFile) {
  testsupport::TempDir dir("proxyhelper-durability-");
  ASSERT_TRUE(dir.ok());
  QUILLON::SetExeDirectory(dir.path());
  const std::string path = CacheFilePath();
  ASSERT_EQ(path, dir.path() + "/cache.dat");
  ASSERT_TRUE(WriteCacheFile(path, Catalogue(1)));
  ASSERT_EQ(VersionThroughTheFacade(), 1);

  int stopPipe[2];
  ASSERT_EQ(::pipe(stopPipe), 0);
  const pid_t reader = ::fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    ::close(stopPipe[1]);
    ReaderChild(stopPipe[0]);
  }
  ::close(stopPipe[0]);

  std::mt19937 random(7);
  long current = 1;
  int changed = 0;
  for (int round = 0; round < kRounds; ++round) {
    int donePipe[2];
    ASSERT_EQ(::pipe(donePipe), 0);
    const long first = (round + 1) * 1000000L;
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(donePipe[0]);
      WriterChild(path, first, donePipe[1]);
    }
    ::close(donePipe[1]);
    // Let it finish a few writes (none, sometimes), then strike at a random
    // moment of the next one.
    const int writes = static_cast<int>(random() % 4);
    const bool progressed = AwaitWrites(donePipe[0], writes);
    ::usleep(static_cast<useconds_t>(random() % 3000));
    ::kill(writer, SIGKILL);
    int status = 0;
    ::waitpid(writer, &status, 0);
    ::close(donePipe[0]);
    ASSERT_TRUE(progressed) << "round " << round;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round;

    std::string content;
    ASSERT_TRUE(ReadCacheFile(path, content, kNoLimit)) << "round " << round;
    const long version = VersionOf(content);
    ASSERT_NE(version, -1) << "round " << round << ": " << content.size() << " bytes, not a whole reply";
    // The old content, or one this round's writer wrote.
    EXPECT_TRUE(version == current || (version >= first && version < first + kWritesPerChild))
        << "round " << round << ": version " << version;
    if (writes > 0) {
      EXPECT_GE(version, first + writes - 1) << "round " << round;
    }
    if (version != current) ++changed;
    current = version;
    EXPECT_EQ(VersionThroughTheFacade(), current) << "round " << round;
  }
  EXPECT_GT(changed, 0);

  ::close(stopPipe[1]);
  int readerStatus = 0;
  ASSERT_EQ(::waitpid(reader, &readerStatus, 0), reader);
  ASSERT_TRUE(WIFEXITED(readerStatus));
  EXPECT_EQ(WEXITSTATUS(readerStatus), 0) << "1: the reader saw a partial file, 2: it never read";

  // A writer killed before its rename leaves its temporary file behind; the
  // cache itself is unaffected, and nothing else appears.
  DIR* listing = ::opendir(dir.path().c_str());
  ASSERT_NE(listing, nullptr);
  int strays = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || name == "cache.dat") continue;
    EXPECT_EQ(name.compare(0, 13, "cache.dat.tmp"), 0) << name;
    ++strays;
  }
  ::closedir(listing);
  EXPECT_LE(strays, kRounds);
}

}  // namespace
