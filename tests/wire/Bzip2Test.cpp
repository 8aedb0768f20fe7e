// bzip2 compression, checked against libbz2's own expansion.
#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>

#include "wire/Bzip2.h"

namespace {

std::string Bunzip2(const std::string& packed, std::size_t expectedSize) {
  std::string out(expectedSize + 1, '\0');
  unsigned int length = static_cast<unsigned int>(out.size());
  const int rc = BZ2_bzBuffToBuffDecompress(&out[0], &length, const_cast<char*>(packed.data()),
                                            static_cast<unsigned int>(packed.size()), 0, 0);
  if (rc != BZ_OK) return "<bzip2 error " + std::to_string(rc) + ">";
  out.resize(length);
  return out;
}

TEST(Bzip2Test, RoundTrip) {
  std::string noisy;
  for (int i = 0; i < 50000; ++i) noisy.push_back(static_cast<char>((i * 7919 + i / 13) & 0xff));
  for (const std::string& data : {std::string(), std::string("a"), std::string(100000, 'z'), noisy}) {
    SCOPED_TRACE(data.size());
    std::string packed;
    ASSERT_TRUE(wire::Bzip2Compress(data, &packed));
    EXPECT_EQ(packed.compare(0, 3, "BZh"), 0);
    EXPECT_EQ(Bunzip2(packed, data.size()), data);
  }
}

}  // namespace
