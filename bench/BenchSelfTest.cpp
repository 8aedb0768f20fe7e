// Checks of the benchmark's own parts: a floor that does less (or other)
// work than the library, a table that misreads its samples or a heap meter
// that misses allocations would make every figure meaningless. Run by
// scripts/bench.sh before the benchmarks; never part of ctest.
#include <bzlib.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BarePost.h"
#include "bench/CodecFloor.h"
#include "bench/HeapMeter.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/ReplyCorpus.h"
#include "bench/ServiceProcess.h"
#include "bench/WorstReplies.h"
#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "wire/Bzip2.h"
#include "wire/Cipher.h"
#include "wire/Vocabulary.h"

namespace bench {
namespace {

TEST(PlainNameTest, DropsOnlyTheFrameworksDecorations) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"codec/encode_mode1/1024/library", "codec/encode_mode1/1024/library"},
      {"codec/encode_mode1/1024/library/repeats:5", "codec/encode_mode1/1024/library"},
      {"signin/facade_vs_bare_post/iterations:400/repeats:5/manual_time", "signin/facade_vs_bare_post"},
      {"x/min_time:0.100/real_time", "x"},
      {"x/threads:2/process_time", "x"},
      {"repeated/name", "repeated/name"},
  };
  for (const auto& c : cases) EXPECT_EQ(PlainName(c.first), c.second) << c.first;
}

TEST(PercentileTest, RoundsDownOverTheSortedSamples) {
  EXPECT_EQ(Percentile({}, 0.1), 0);
  EXPECT_EQ(Percentile({7}, 0.5), 7);
  const std::vector<double> samples = {10, 1, 9, 2, 8, 3, 7, 4, 6, 5};
  EXPECT_EQ(Percentile(samples, 0.0), 1);
  EXPECT_EQ(Percentile(samples, 0.1), 1);  // index 0.9 rounds down
  EXPECT_EQ(Percentile(samples, 0.5), 5);  // index 4.5 rounds down
  EXPECT_EQ(Percentile(samples, 1.0), 10);
  EXPECT_EQ(Percentile(samples, 2.0), 10);  // clamped
}

Sample Timed(double cpu, double real, std::map<std::string, double> counters = {}) {
  Sample sample;
  sample.cpuSeconds = cpu;
  sample.realSeconds = real;
  sample.counters = std::move(counters);
  return sample;
}

Row Ratio(const std::string& subject, const std::string& floor, double goal, Clock clock) {
  Row row;
  row.label = subject;
  row.kind = RowKind::kRatioAtMost;
  row.subject = subject;
  row.floor = floor;
  row.clock = clock;
  row.goal = goal;
  return row;
}

// The verdict column of the row whose label is `label`.
std::string VerdictOf(const std::string& table, const std::string& label) {
  std::istringstream lines(table);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, label.size() + 1, label + " ") != 0) continue;
    for (const char* verdict : {"pass", "MISS", "FAILED", "info"}) {
      if (line.find(std::string("  ") + verdict + " ") != std::string::npos) return verdict;
    }
  }
  return "missing";
}

TEST(RatioTableTest, VerdictsFromTheFastestRepetition) {
  std::map<std::string, std::vector<Sample>> samples;
  // Fastest repetitions: a 1.10 s (cpu), b 1.0 s; real times would say 3x.
  samples["a"] = {Timed(1.30, 9), Timed(1.10, 3)};
  samples["b"] = {Timed(1.00, 1), Timed(1.20, 1)};
  samples["failing"] = {Timed(1, 1), Timed(1, 1)};
  samples["failing"][1].error = "went wrong";
  samples["zero"] = {Timed(0, 0)};
  samples["counted"] = {
      Timed(0.002, 0.002, {{"bytes", 1e6}, {"ratio", 3.5}, {"s", 3e-6}, {"f", 2e-6}, {"al", 1e-6}}),
      Timed(0.004, 0.004, {{"bytes", 1e6}, {"ratio", 4.5}, {"s", 4e-6}, {"f", 1.5e-6}, {"al", 1e-6}})};

  std::vector<Row> rows = {Ratio("a", "b", 1.15, Clock::kCpu), Ratio("b", "a", 1.15, Clock::kCpu),
                           Ratio("a", "b", 0, Clock::kReal)};
  rows[2].label = "a-real-info";
  rows.push_back(Ratio("failing", "b", 2, Clock::kCpu));
  rows.push_back(Ratio("absent", "b", 2, Clock::kCpu));
  rows.push_back(Ratio("a", "zero", 2, Clock::kCpu));
  rows.back().label = "zero-floor";
  Row throughput;
  throughput.label = "throughput";
  throughput.kind = RowKind::kThroughputAtLeast;
  throughput.subject = "counted";
  throughput.goal = 400;  // 1e6 bytes in 0.002 s: 500 MB/s
  rows.push_back(throughput);
  Row fromCounter = throughput;
  fromCounter.label = "throughput-from-counter";
  fromCounter.counter = "s";  // 1e6 bytes in 3e-6 s at best: 333333 MB/s
  fromCounter.goal = 400000;
  rows.push_back(fromCounter);
  Row largest;
  largest.label = "largest";
  largest.kind = RowKind::kCounterAtMost;
  largest.subject = "counted";
  largest.counter = "ratio";
  largest.goal = 4;  // the worst repetition (4.5) decides
  rows.push_back(largest);
  Row counterRatio;
  counterRatio.label = "counter-ratio";
  counterRatio.kind = RowKind::kCounterRatioAtMost;
  counterRatio.subject = "counted";
  counterRatio.counter = "s";
  counterRatio.floorCounter = "f";
  counterRatio.allowanceCounter = "al";
  counterRatio.goal = 1.5;  // (3 - 1) / 1.5 = 1.33
  rows.push_back(counterRatio);

  std::ostringstream out;
  const Verdicts verdicts = PrintRatioTable(rows, samples, out);
  const std::string table = out.str();
  EXPECT_EQ(VerdictOf(table, "a"), "pass") << table;  // 1.10 / 1.00
  EXPECT_EQ(VerdictOf(table, "b"), "pass") << table;  // 1.00 / 1.10
  EXPECT_EQ(VerdictOf(table, "a-real-info"), "info") << table;
  EXPECT_NE(table.find("3.000x"), std::string::npos) << table;
  EXPECT_EQ(VerdictOf(table, "failing"), "FAILED") << table;
  EXPECT_NE(table.find("went wrong"), std::string::npos) << table;
  EXPECT_EQ(VerdictOf(table, "absent"), "FAILED") << table;
  EXPECT_EQ(VerdictOf(table, "zero-floor"), "FAILED") << table;
  EXPECT_EQ(VerdictOf(table, "throughput"), "pass") << table;
  EXPECT_NE(table.find("500 MB/s"), std::string::npos) << table;
  EXPECT_EQ(VerdictOf(table, "throughput-from-counter"), "MISS") << table;
  EXPECT_NE(table.find("333333 MB/s"), std::string::npos) << table;
  EXPECT_EQ(VerdictOf(table, "largest"), "MISS") << table;
  EXPECT_NE(table.find("4.50x"), std::string::npos) << table;
  EXPECT_EQ(VerdictOf(table, "counter-ratio"), "pass") << table;
  EXPECT_NE(table.find("1.333x"), std::string::npos) << table;
  EXPECT_EQ(verdicts.passed, 4);
  EXPECT_EQ(verdicts.missed, 2);
  EXPECT_EQ(verdicts.failed, 3);
}

TEST(RatioTableTest, RatioJustOverTheGoalIsAMiss) {
  std::map<std::string, std::vector<Sample>> samples;
  samples["lib"] = {Timed(1.151, 1.151)};
  samples["floor"] = {Timed(1.0, 1.0)};
  std::ostringstream out;
  const Verdicts verdicts = PrintRatioTable({Ratio("lib", "floor", 1.15, Clock::kCpu)}, samples, out);
  EXPECT_EQ(verdicts.missed, 1) << out.str();
  EXPECT_EQ(VerdictOf(out.str(), "lib"), "MISS");
}

TEST(RatioTableTest, MebibytesFromTheLargestRepetition) {
  constexpr double kMiB = 1024.0 * 1024.0;
  std::map<std::string, std::vector<Sample>> samples;
  samples["heap"] = {Timed(1, 1, {{"low", 100 * kMiB}, {"high", 500 * kMiB}}),
                     Timed(1, 1, {{"low", 511.9 * kMiB}, {"high", 512 * kMiB}})};
  Row row;
  row.kind = RowKind::kMebibytesBelow;
  row.subject = "heap";
  row.label = "below";
  row.counter = "low";
  row.goal = 512;
  Row atGoal = row;
  atGoal.label = "at-goal";
  atGoal.counter = "high";  // 512 MiB is not below 512 MiB
  Row shown = row;
  shown.label = "shown";
  shown.goal = 0;
  std::ostringstream out;
  const Verdicts verdicts = PrintRatioTable({row, atGoal, shown}, samples, out);
  const std::string table = out.str();
  EXPECT_EQ(VerdictOf(table, "below"), "pass") << table;
  EXPECT_NE(table.find("511.9 MiB"), std::string::npos) << table;
  EXPECT_EQ(VerdictOf(table, "at-goal"), "MISS") << table;
  EXPECT_EQ(VerdictOf(table, "shown"), "info") << table;
  EXPECT_EQ(verdicts.passed, 1);
  EXPECT_EQ(verdicts.missed, 1);
}

TEST(WorstRepliesTest, CountsEntriesAsTheClientBoundsThem) {
  const std::vector<std::string> texts = {
      "result=0\n",
      "result=0\nerrdesc=\n[a]\nx=1\n[a]\n\n; note\n# note\n[b]\n=\n",
      "[only]\n[headers]\n",
      "[a]\nk=v\r\nk2=v2",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const std::size_t entries = CountEntries(text);
    CProfileFile profile;
    EXPECT_TRUE(profile.Load(text, entries));
    EXPECT_FALSE(profile.Load(text, entries - 1));
  }
}

class CodecFloorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const devserver::CipherKeys keys = BenchKeys();
    GlobalCache::Instance().SetConfigItem(protocol::kGcCipherA, keys.m1);
    GlobalCache::Instance().SetConfigItem(protocol::kGcCipherB, keys.m2);
    GlobalCache::Instance().SetConfigItem(protocol::kGcCipherC, keys.m3);
  }
  static std::string ItemFor(char letter) { return *BenchKeys().ForLetter(letter); }
};

// Lengths around Base64 groups and cipher blocks, with bytes that need
// escaping once Base64-encoded.
std::vector<std::string> Forms() {
  std::vector<std::string> forms;
  for (std::size_t length : {0u, 1u, 2u, 3u, 15u, 16u, 17u, 31u, 32u, 33u, 1000u}) {
    std::string form;
    for (std::size_t i = 0; i < length; ++i) form.push_back(static_cast<char>((i * 37 + 251) % 256));
    forms.push_back(form);
  }
  forms.push_back("agent=x&lang=en&magic=&username=alice&");
  return forms;
}

TEST_F(CodecFloorTest, KeyDerivationMatches) {
  for (const char* item : {"", "a", "bench-key-item-one"}) EXPECT_EQ(FloorDeriveKey(item), DeriveKey(item));
}

TEST_F(CodecFloorTest, EncodingMatchesTheLibraryByteForByte) {
  for (const std::string& form : Forms()) {
    SCOPED_TRACE(form.size());
    EXPECT_EQ(FloorEncodeUnkeyed(form), EncodeBody(form, 1));
    const std::string keyed = EncodeBody(form, 2);
    ASSERT_FALSE(keyed.empty());
    EXPECT_EQ(FloorEncodeKeyed(form, keyed[0], ItemFor(keyed[0])), keyed);
  }
}

TEST_F(CodecFloorTest, DecodingMatchesTheLibrary) {
  for (const std::string& text : Forms()) {
    SCOPED_TRACE(text.size());
    const std::string unkeyed = "Z=" + Base64Encode(text);
    const std::string keyed = "A=" + Base64Encode(TwofishEncrypt(DeriveKey(ItemFor('A')), text));
    std::string packed;
    ASSERT_TRUE(wire::Bzip2Compress(text, &packed));
    const std::string compressed =
        "A=" + Base64Encode(TwofishEncrypt(DeriveKey(ItemFor('A')), protocol::kCompressedMarker + packed));
    for (const std::string& reply : {unkeyed, keyed, compressed}) {
      EXPECT_EQ(FloorDecode(reply, ItemFor('A')), DecodeBody(reply)) << reply.substr(0, 40);
    }
    EXPECT_EQ(FloorDecode(compressed, ItemFor('A')), text);
  }
}

TEST_F(CodecFloorTest, TruncatedCipherKeepsTheWholeBlocksLikeTheLibrary) {
  const std::string cipher = TwofishEncrypt(DeriveKey(ItemFor('A')), std::string(40, 'q'));
  for (std::size_t cut : {47u, 40u, 33u, 20u, 5u}) {
    SCOPED_TRACE(cut);
    const std::string reply = "A=" + Base64Encode(cipher.substr(0, cut));
    EXPECT_EQ(FloorDecode(reply, ItemFor('A')), DecodeBody(reply));
    EXPECT_EQ(FloorDecode(reply, ItemFor('A')).size(), cut / 16 * 16);
  }
}

TEST(ReplyCorpusTest, SizesAndFramingsAreWhatTheyClaim) {
  for (std::size_t bytes : {1u << 10, 64u << 10}) {
    const std::string& text = ProfileTextOfSize(bytes);
    EXPECT_EQ(text.size(), bytes);
    EXPECT_EQ(text.compare(0, 9, "result=0\n"), 0);
    EXPECT_EQ(FramedReply(bytes, Framing::kUnkeyed).compare(0, 2, "Z="), 0);
    EXPECT_EQ(FramedReply(bytes, Framing::kKeyed).compare(0, 2, "A="), 0);
    const std::string expanded = FloorDecode(FramedReply(bytes, Framing::kKeyedCompressed), BenchKeys().m1);
    EXPECT_EQ(expanded, text);
  }
  const std::string& catalogue = CatalogueProfileText(100);
  CProfileFile profile;
  ASSERT_TRUE(profile.Load(catalogue));
  std::size_t servers = 0;
  for (const ProfileSection& section : profile.GetSections()) {
    if (!section.GetSetionName().empty()) servers += section.GetItems().size();
  }
  EXPECT_EQ(servers, 100u);
}

TEST(HeapMeterTest, CountsMallocFreeAndRealloc) {
  const std::int64_t before = LiveHeapBytes();
  ResetHeapPeak();
  void* block = std::malloc(1 << 20);
  ASSERT_NE(block, nullptr);
  EXPECT_GE(LiveHeapBytes() - before, 1 << 20);
  void* grown = std::realloc(block, 4 << 20);
  ASSERT_NE(grown, nullptr);
  EXPECT_GE(LiveHeapBytes() - before, 4 << 20);
  EXPECT_LT(LiveHeapBytes() - before, 5 << 20);  // the old block is not counted twice
  std::free(grown);
  EXPECT_LT(LiveHeapBytes() - before, 1 << 16);
  EXPECT_GE(HeapPeakBytes() - before, 4 << 20);

  const std::int64_t viaNew = LiveHeapBytes();
  auto* text = new std::string(300000, 'x');
  EXPECT_GE(LiveHeapBytes() - viaNew, 300000);
  delete text;
  EXPECT_LT(LiveHeapBytes() - viaNew, 1 << 16);

  void* aligned = nullptr;
  ASSERT_EQ(posix_memalign(&aligned, 64, 1 << 18), 0);
  EXPECT_GE(LiveHeapBytes() - viaNew, 1 << 18);
  std::free(aligned);
  EXPECT_LT(LiveHeapBytes() - viaNew, 1 << 16);
}

TEST(HeapMeterTest, SetsApartWhatTheChosenLibraryAllocates) {
  ASSERT_TRUE(SetApartLibraryOf(reinterpret_cast<const void*>(&BZ2_bzDecompressInit)));
  std::string packed;
  ASSERT_TRUE(wire::Bzip2Compress(std::string(200000, 'z'), &packed));
  const std::int64_t before = LiveHeapBytes();
  const std::int64_t ownBefore = LiveOwnHeapBytes();
  bz_stream stream{};
  ASSERT_EQ(BZ2_bzDecompressInit(&stream, 0, 0), BZ_OK);
  char out[64];
  stream.next_in = &packed[0];
  stream.avail_in = static_cast<unsigned int>(packed.size());
  stream.next_out = out;
  stream.avail_out = sizeof out;
  BZ2_bzDecompress(&stream);
  // Level 9 streams make libbz2 take 3.6 MB up front.
  EXPECT_GE(LiveHeapBytes() - before, 3000000);
  EXPECT_LT(LiveOwnHeapBytes() - ownBefore, 4096);
  std::string ours(100000, 'o');
  EXPECT_GE(LiveOwnHeapBytes() - ownBefore, 100000);
  BZ2_bzDecompressEnd(&stream);
  EXPECT_LT(LiveHeapBytes() - before, 200000);
}

TEST(ServiceProcessTest, ServesOnLoopbackUntilStopped) {
  ServiceProcess service;
  std::string error;
  ServiceSetup setup;
  setup.hosts = {"127.0.0.1", "127.0.0.2"};
  setup.keys = BenchKeys();
  ASSERT_TRUE(service.Start(setup, &error)) << error;
  for (std::size_t i = 0; i < setup.hosts.size(); ++i) {
    SCOPED_TRACE(service.Address(i));
    ASSERT_GT(service.Port(i), 0);
    std::string reply;
    EXPECT_EQ(BarePost("http://" + service.Address(i) + "/vpn_intl/getversion.php",
                       "Z=" + QUILLON::URLEncode(Base64Encode("agent=a&lang=en&")), reply),
              200);
    EXPECT_EQ(DecodeBody(reply).compare(0, 9, "result=0\n"), 0) << DecodeBody(reply);
    std::string missing;
    EXPECT_EQ(BarePost("http://" + service.Address(i) + "/vpn_intl/nothing.php", "Z=", missing), 404);
  }
  const std::string address = service.Address(0);
  service.Stop();
  std::string reply;
  EXPECT_EQ(BarePost("http://" + address + "/vpn_intl/getversion.php", "Z=", reply), 0);
}

TEST(ServiceProcessTest, AnswersEachListenersScriptedReply) {
  ServiceProcess service;
  std::string error;
  ServiceSetup setup;
  setup.hosts = {"127.0.0.1", "127.0.0.1"};
  setup.fixedReplies = {[] { return std::string("Z=first"); }, [] { return std::string(100000, 'x'); }};
  ASSERT_TRUE(service.Start(setup, &error)) << error;
  for (int round = 0; round < 2; ++round) {
    std::string reply;
    EXPECT_EQ(BarePost("http://" + service.Address(0) + "/vpn_intl/getserverinfo.php", "Z=", reply), 200);
    EXPECT_EQ(reply, "Z=first");
    EXPECT_EQ(BarePost("http://" + service.Address(1) + "/vpn_intl/getuserinfo.php", "Z=", reply), 200);
    EXPECT_EQ(reply, std::string(100000, 'x'));
  }
  service.Stop();
}

}  // namespace
}  // namespace bench
