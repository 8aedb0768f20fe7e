#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "hostlib/quillon.h"
#include "support/ServiceSide.h"

namespace {

using testsupport::Bzip2;

// Text that does not compress to nothing, so truncation and damage bite.
std::string SampleText(std::size_t size) {
  std::string text;
  unsigned int state = 12345;
  while (text.size() < size) {
    state = state * 1103515245u + 12345u;
    text += "item" + std::to_string(state % 1000) + "=value" + std::to_string(state % 77) + "\n";
  }
  text.resize(size);
  return text;
}

int Inflate(const std::string& data, std::string& output, std::size_t cap = 0) {
  CMemBZ2Decompress decompressor(data.data(), data.size(), output);
  if (cap != 0) decompressor.SetMaxOutput(cap);
  return decompressor.Decompress();
}

TEST(MemBZ2DecompressTest, GoodStreamsOfSeveralSizes) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{65536},
                           std::size_t{65537}, std::size_t{300000}}) {
    SCOPED_TRACE(size);
    const std::string plain = SampleText(size);
    std::string output = "previous content";
    EXPECT_NE(Inflate(Bzip2(plain), output), 0);
    EXPECT_EQ(output, plain);
  }
}

TEST(MemBZ2DecompressTest, BytesAfterTheStreamAreIgnored) {
  const std::string plain = SampleText(5000);
  const std::string stream = Bzip2(plain);
  const std::vector<std::string> tails = {std::string(1, '\0'), std::string(15, '\0'),
                                          "garbage after the end", stream};
  for (const std::string& tail : tails) {
    SCOPED_TRACE(tail.size());
    std::string output;
    EXPECT_NE(Inflate(stream + tail, output), 0);
    EXPECT_EQ(output, plain);
  }
}

TEST(MemBZ2DecompressTest, RejectsBadInputAndLeavesOutputEmpty) {
  const std::string plain = SampleText(200000);
  const std::string stream = Bzip2(plain);
  std::string flipped = stream;
  flipped[stream.size() / 2] = static_cast<char>(flipped[stream.size() / 2] ^ 0x55);
  std::string badMagic = stream;
  badMagic[0] = 'X';
  std::string badCrc = stream;  // the combined CRC sits in the last bytes
  badCrc[badCrc.size() - 2] = static_cast<char>(badCrc[badCrc.size() - 2] ^ 0x01);

  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty input", ""},
      {"header only", stream.substr(0, 4)},
      {"truncated in the middle", stream.substr(0, stream.size() / 2)},
      {"last byte missing", stream.substr(0, stream.size() - 1)},
      {"damaged block", flipped},
      {"bad magic", badMagic},
      {"bad stream checksum", badCrc},
      {"plain text", "result=0\nerrdesc=\n"},
      {"zero bytes", std::string(15, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string output = "previous content";
    EXPECT_EQ(Inflate(c.second, output), 0);
    EXPECT_TRUE(output.empty());
  }
}

TEST(MemBZ2DecompressTest, NullDataIsRejected) {
  std::string output = "x";
  CMemBZ2Decompress decompressor(nullptr, 10, output);
  EXPECT_EQ(decompressor.Decompress(), 0);
  EXPECT_TRUE(output.empty());
}

TEST(MemBZ2DecompressTest, SetMaxOutputCapsTheOutput) {
  const std::string plain = SampleText(10000);
  const std::string stream = Bzip2(plain);
  const std::vector<std::pair<std::size_t, bool>> cases = {
      {1, false}, {9999, false}, {10000, true}, {10001, true}, {1u << 30, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::string output = "previous content";
    const int result = Inflate(stream, output, c.first);
    EXPECT_EQ(result != 0, c.second);
    EXPECT_EQ(output, c.second ? plain : std::string());
  }
}

TEST(MemBZ2DecompressTest, ConfiguredCapApplies) {
  const std::string plain(200000, 'a');  // a bomb in miniature
  const std::string stream = Bzip2(plain);
  GlobalCache& cache = GlobalCache::Instance();

  cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", 199999);
  std::string output;
  EXPECT_EQ(Inflate(stream, output), 0);
  EXPECT_TRUE(output.empty());

  cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", 200000);
  EXPECT_NE(Inflate(stream, output), 0);
  EXPECT_EQ(output, plain);

  // An explicit cap wins over the configured one.
  cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", 10);
  EXPECT_NE(Inflate(stream, output, 200000), 0);
  EXPECT_EQ(output.size(), plain.size());

  // Not positive: the 64 MiB default.
  cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", 0);
  EXPECT_NE(Inflate(stream, output), 0);
  EXPECT_EQ(output, plain);
}

TEST(MemBZ2DecompressTest, DefaultCapIs64MiB) {
  const std::size_t kCap = 64u * 1024u * 1024u;
  std::string output;
  // Runs of one byte compress to almost nothing, so both streams are small.
  EXPECT_NE(Inflate(Bzip2(std::string(kCap, 'z')), output), 0);
  EXPECT_EQ(output.size(), kCap);
  EXPECT_EQ(Inflate(Bzip2(std::string(kCap + 1, 'z')), output), 0);
  EXPECT_TRUE(output.empty());
}

TEST(MemBZ2DecompressTest, InputInsideTheOutputText) {
  // The caller may hand over bytes that live in the output text itself.
  const std::string plain = SampleText(3000);
  std::string buffer = "YYY=" + Bzip2(plain);
  CMemBZ2Decompress decompressor(buffer.data() + 4, buffer.size() - 4, buffer);
  EXPECT_NE(decompressor.Decompress(), 0);
  EXPECT_EQ(buffer, plain);
}

}  // namespace
