// bzip2 decompression through the host library on arbitrary bytes, with a
// small output cap: damaged streams are refused, output never passes the
// cap, and what the library compresses itself comes back whole.
#include <bzlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"

namespace {
constexpr std::size_t kCap = 1 << 20;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string output = "stale";
  CMemBZ2Decompress decompressor(bytes, size, output);
  decompressor.SetMaxOutput(kCap);
  if (decompressor.Decompress() != 0) FUZZ_CHECK(output.size() <= kCap);

  // The input as plain data: compressed and decompressed, it is unchanged,
  // with bytes after the stream (a cipher block's zero fill) ignored.
  if (size <= kCap) {
    std::vector<char> compressed(size + size / 100 + 600 + 15, '\0');
    unsigned int length = static_cast<unsigned int>(compressed.size() - 15);
    FUZZ_CHECK(BZ2_bzBuffToBuffCompress(compressed.data(), &length, const_cast<char*>(bytes),
                                        static_cast<unsigned int>(size), 1, 0, 0) == BZ_OK);
    std::string roundTrip;
    CMemBZ2Decompress again(compressed.data(), length + size % 16, roundTrip);
    again.SetMaxOutput(kCap);
    FUZZ_CHECK(again.Decompress() != 0);
    FUZZ_CHECK(roundTrip == std::string(bytes, size));
  }
  return 0;
}
