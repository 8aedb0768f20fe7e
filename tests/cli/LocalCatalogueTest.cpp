// `servers --local` in a later process: only the kept keys file and the
// cache file survive, and no account server is reachable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "cli/CliFixture.h"
#include "tools/cli/KeyStore.h"

namespace clitest {
namespace {

using proxycli::KeyItems;
using proxycli::kMaxKeysFileBytes;

mode_t ModeOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

// A valid keys file of exactly `size` bytes, item A filling it.
std::string KeysFileOfSize(std::size_t size) {
  const std::string head = "[keys]\nGC_CIPER_B=b\nGC_CIPER_C=c\nGC_CIPER_A=";
  return head + std::string(size - head.size() - 1, 'k') + "\n";
}

TEST_F(CliTest, LocalCatalogueInALaterProcessMatchesTheRemoteOne) {
  StartService(/*deadFirst=*/true);
  const Outcome remote = Run(Carol({"--json", "servers"}));
  ASSERT_EQ(remote.status, 0) << remote.err;

  // What a new process starts with: no keys in memory, the service gone.
  proxycli::KeyItemsToCache(KeyItems());
  const std::string dead = server_.DeadAddress();
  server_.Stop();
  const Outcome local = Run({"--servers", dead, "--json", "servers", "--local"});
  ASSERT_EQ(local.status, 0) << local.err;
  EXPECT_EQ(local.Json()["source"], "local");
  EXPECT_EQ(local.Json()["groups"], remote.Json()["groups"]);
  EXPECT_EQ(local.Json()["count"], 3);

  // Readable form too.
  const Outcome text = Run({"--servers", dead, "servers", "--local"});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("beta (2 servers)"), std::string::npos) << text.out;
}

TEST_F(CliTest, LocalCatalogueWithoutKeysOrCacheIsOneWithAClearMessage) {
  StartService();
  // Nothing fetched yet.
  Outcome outcome = Run({"--servers", server_.LiveAddress(), "servers", "--local"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_NE(
      outcome.err.find("GetLocalVpnServers failed: 0xFFFFFFFF no usable cache: no usable catalogue cache"),
      std::string::npos)
      << outcome.err;

  // Cache present, but the keys are gone from memory and from disk.
  ASSERT_EQ(Run(Carol({"servers"})).status, 0);
  proxycli::KeyItemsToCache(KeyItems());
  ASSERT_EQ(std::remove(StateFile("keys.ini").c_str()), 0);
  outcome = Run({"--servers", server_.LiveAddress(), "--json", "servers", "--local"});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.Json()["errors"][0]["result"], -1);
}

TEST_F(CliTest, KeysFileAndDirectoriesArePrivate) {
  StartService();
  ASSERT_EQ(Run(Carol({"account"})).status, 0);
  EXPECT_EQ(ModeOf(StateFile("keys.ini")), 0600u);
  EXPECT_EQ(ModeOf(home_.path() + "/state/proxyhelper"), 0700u);
  EXPECT_EQ(ModeOf(home_.path() + "/cache/proxyhelper"), 0700u);
  KeyItems kept;
  ASSERT_TRUE(proxycli::LoadKeyItems(StateFile("keys.ini"), &kept));
  EXPECT_EQ(kept, proxycli::KeyItemsFromCache());
  EXPECT_FALSE(kept.empty());
  // The temporary file it was written through is gone.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(home_.path() + "/state/proxyhelper")) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"keys.ini"});
}

TEST_F(CliTest, CacheDirOptionMovesTheCatalogueCache) {
  StartService();
  const std::string elsewhere = home_.path() + "/elsewhere/deeper";
  ASSERT_EQ(Run(Carol({"--cache-dir", elsewhere, "servers"})).status, 0);
  EXPECT_TRUE(std::ifstream(elsewhere + "/cache.dat").good());
  EXPECT_FALSE(std::ifstream(CacheFile("cache.dat")).good());
  EXPECT_EQ(ModeOf(elsewhere), 0700u);
}

TEST_F(CliTest, CatalogueCacheThatCannotBeWrittenIsAWarning) {
  StartService();
  // Written: nothing to say, twice over (the second run replaces the file).
  for (int run = 0; run < 2; ++run) {
    const Outcome outcome = Run(Carol({"servers"}));
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
  }
  ASSERT_EQ(std::remove(CacheFile("cache.dat").c_str()), 0);
  ASSERT_TRUE(Plant(Planted::kDirectory, CacheFile("cache.dat")));
  const Outcome outcome = Run(Carol({"servers"}));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_NE(outcome.out.find("beta (2 servers)"), std::string::npos);
  EXPECT_EQ(outcome.err, "proxyhelper: warning: the catalogue cache " + CacheFile("cache.dat") +
                             " could not be written: 'servers --local' will not work (is the directory "
                             "writable, is the disk full?)\n");
  EXPECT_EQ(Run(Carol({"-q", "servers"})).err, "");
  EXPECT_EQ(Run(Carol({"--json", "servers"})).Json()["warnings"].size(), 1u);
}

TEST(KeyStoreTest, ItemsRoundTripByteForByte) {
  testsupport::TempDir dir("proxyhelper-keys-");
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.path() + "/keys.ini";
  const KeyItems cases[] = {
      {"abc", "def", "ghi"},
      {"", "", ""},
      {"a+b c", "50%=x&y", "[section]"},
      {std::string("tail\r"), "; not a comment", "#x"},
      {"\xC3\xA9\xFF", std::string(300, 'k'), "line\nbreak"},
  };
  for (const KeyItems& items : cases) {
    std::string error;
    ASSERT_TRUE(proxycli::SaveKeyItems(path, items, &error)) << error;
    KeyItems loaded{"stale", "stale", "stale"};
    ASSERT_TRUE(proxycli::LoadKeyItems(path, &loaded)) << items.a;
    EXPECT_EQ(loaded, items) << items.a;
    EXPECT_EQ(ModeOf(path), 0600u);
  }
}

TEST(KeyStoreTest, MissingOrForeignFilesAreRejectedUntouched) {
  testsupport::TempDir dir("proxyhelper-keys-");
  ASSERT_TRUE(dir.ok());
  const KeyItems original{"1", "2", "3"};
  const struct {
    const char* name;
    std::optional<std::string> content;  // written when present
    std::optional<Planted> planted;      // else put there when present
  } cases[] = {
      {"absent.ini", {}, {}},
      {"empty.ini", "", {}},
      {"other-section.ini", "[other]\nGC_CIPER_A=x\nGC_CIPER_B=y\nGC_CIPER_C=z\n", {}},
      {"partial.ini", "[keys]\nGC_CIPER_A=x\nGC_CIPER_B=y\n", {}},
      {"not-ini.ini", "this is not a profile\n", {}},
      {"over-limit.ini", KeysFileOfSize(kMaxKeysFileBytes + 1), {}},
      {"fifo.ini", {}, Planted::kFifo},
      {"zero.ini", {}, Planted::kLinkToDevZero},
      {"directory.ini", {}, Planted::kDirectory},
  };
  for (const auto& c : cases) {
    if (c.content) {
      ASSERT_FALSE(dir.Write(c.name, *c.content).empty()) << c.name;
    } else if (c.planted) {
      ASSERT_TRUE(Plant(*c.planted, dir.path() + "/" + c.name)) << c.name;
    }
    KeyItems items = original;
    EXPECT_FALSE(proxycli::LoadKeyItems(dir.path() + "/" + c.name, &items)) << c.name;
    EXPECT_EQ(items, original) << c.name;
  }
  std::string error;
  EXPECT_FALSE(proxycli::SaveKeyItems(dir.path() + "/no/such/dir/keys.ini", original, &error));
  EXPECT_FALSE(error.empty());
}

TEST(KeyStoreTest, WhatIsWrittenFitsTheReadLimit) {
  testsupport::TempDir dir("proxyhelper-keys-");
  ASSERT_TRUE(dir.ok());
  // Exactly at the limit is read, also through a link.
  const std::string atLimit = dir.Write("at-limit.ini", KeysFileOfSize(kMaxKeysFileBytes));
  ASSERT_FALSE(atLimit.empty());
  ASSERT_EQ(::symlink(atLimit.c_str(), (dir.path() + "/link.ini").c_str()), 0);
  for (const char* name : {"at-limit.ini", "link.ini"}) {
    KeyItems items;
    ASSERT_TRUE(proxycli::LoadKeyItems(dir.path() + "/" + name, &items)) << name;
    EXPECT_EQ(items.b, "b") << name;
  }

  const std::string path = dir.path() + "/keys.ini";
  std::string error;
  ASSERT_TRUE(proxycli::SaveKeyItems(path, KeyItems(), &error)) << error;
  const std::size_t frame = std::filesystem::file_size(path);
  const KeyItems kept{"kept", "kept", "kept"};
  const struct {
    const char* what;
    KeyItems items;
    bool fits;
  } cases[] = {
      {"at the limit", {std::string(kMaxKeysFileBytes - frame, 'k'), "", ""}, true},
      {"one byte over", {std::string(kMaxKeysFileBytes - frame + 1, 'k'), "", ""}, false},
      {"over once encoded", {"", std::string(kMaxKeysFileBytes / 3, '%'), ""}, false},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(proxycli::SaveKeyItems(path, kept, &error)) << error;
    error.clear();
    EXPECT_EQ(proxycli::SaveKeyItems(path, c.items, &error), c.fits) << c.what;
    EXPECT_EQ(error.empty(), c.fits) << c.what << ": " << error;
    // A refusal leaves the previous file in place.
    KeyItems loaded;
    ASSERT_TRUE(proxycli::LoadKeyItems(path, &loaded)) << c.what;
    EXPECT_TRUE(loaded == (c.fits ? c.items : kept)) << c.what;
  }
}

}  // namespace
}  // namespace clitest
