// The key-letter counter is shared by every thread that encodes a body:
// however the draws interleave, none is lost or repeated, so the letters
// come out in exact thirds.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "protection/KeyLetters.h"

namespace {

std::map<char, int> Draw(int threads, int perThread, char (*draw)()) {
  std::mutex mutex;
  std::map<char, int> counts;
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      std::map<char, int> local;
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < perThread; ++i) ++local[draw()];
      std::lock_guard<std::mutex> lock(mutex);
      for (const auto& entry : local) counts[entry.first] += entry.second;
    });
  }
  go = true;
  for (std::thread& thread : pool) thread.join();
  return counts;
}

// The letter `draws` steps after `letter` in the rotation.
std::string LetterAfter(const std::string& letter, int draws) {
  const std::string rotation = "ABC";
  return std::string(1, rotation[(rotation.find(letter) + draws) % 3]);
}

TEST(ConcurrencyKeyLetters, DrawsSplitIntoExactThirds) {
  const std::string before = NextKeyLetter();
  const std::map<char, int> counts = Draw(8, 3000, [] { return NextKeyLetter()[0]; });
  EXPECT_EQ(counts, (std::map<char, int>{{'A', 8000}, {'B', 8000}, {'C', 8000}}));
  // The rotation carries on from where the threads left it.
  EXPECT_EQ(NextKeyLetter(), LetterAfter(before, 24001));
}

TEST(ConcurrencyKeyLetters, KeyedBodiesFromManyThreadsUseEveryKeyEqually) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "key-a");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "key-b");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "key-c");
  const std::map<char, int> counts =
      Draw(4, 300, [] { return EncodeBody("agent=x&lang=en&username=u&", 2)[0]; });
  EXPECT_EQ(counts, (std::map<char, int>{{'A', 400}, {'B', 400}, {'C', 400}}));
}

TEST(ConcurrencyKeyLetters, UnkeyedBodiesAdvanceTheRotationToo) {
  const std::string before = NextKeyLetter();
  const std::map<char, int> counts = Draw(4, 301, [] { return EncodeBody("a=b&", 1)[0]; });
  EXPECT_EQ(counts, (std::map<char, int>{{'Z', 1204}}));
  EXPECT_EQ(NextKeyLetter(), LetterAfter(before, 1205));
}

}  // namespace
