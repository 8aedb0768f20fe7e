// bzip2 decompression through the host library on arbitrary bytes, with a
// small output cap: damaged streams are refused, output never passes the
// cap, and what the library compresses itself comes back whole.
#include <bzlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"

namespace {

// Small, because a 40-byte input can expand to megabytes and every input is
// decompressed up to the cap: at 1 MiB such inputs cost milliseconds each.
// Not a multiple of the library's 64 KiB rounds, so the last round can
// overshoot the room left and the output's capped growth is reached.
constexpr std::size_t kCap = 200000;

// The compressor's work areas (about 1 MiB at block size 1), kept from one
// input to the next: under AddressSanitizer, mapping fresh ones for every
// input cost more than the compression itself.
class WorkAreas {
 public:
  static void* Allocate(void* opaque, int count, int size) {
    return static_cast<WorkAreas*>(opaque)->Take(static_cast<std::size_t>(count) *
                                                 static_cast<std::size_t>(size));
  }
  static void Release(void* opaque, void* area) { static_cast<WorkAreas*>(opaque)->Give(area); }

 private:
  struct Area {
    std::unique_ptr<char[]> bytes;
    std::size_t size;
    bool taken;
  };

  // The compressor asks for the same four sizes every time, so the list
  // stays at four.
  void* Take(std::size_t size) {
    for (Area& area : areas_) {
      if (!area.taken && area.size == size) {
        area.taken = true;
        return area.bytes.get();
      }
    }
    areas_.push_back(Area{std::unique_ptr<char[]>(new char[size]), size, true});
    return areas_.back().bytes.get();
  }
  void Give(void* bytes) {
    for (Area& area : areas_) {
      if (area.bytes.get() == bytes) area.taken = false;
    }
  }

  std::vector<Area> areas_;
};

WorkAreas workAreas;

// `size` bytes as one bzip2 stream at block size 1, in one call: the output
// bound is the one bzip2 gives for BZ2_bzBuffToBuffCompress.
std::vector<char> Compress(const char* bytes, std::size_t size) {
  std::vector<char> compressed(size + size / 100 + 600);
  bz_stream stream{};
  stream.bzalloc = WorkAreas::Allocate;
  stream.bzfree = WorkAreas::Release;
  stream.opaque = &workAreas;
  FUZZ_CHECK(BZ2_bzCompressInit(&stream, 1, 0, 0) == BZ_OK);
  stream.next_in = const_cast<char*>(bytes);
  stream.avail_in = static_cast<unsigned int>(size);
  stream.next_out = compressed.data();
  stream.avail_out = static_cast<unsigned int>(compressed.size());
  FUZZ_CHECK(BZ2_bzCompress(&stream, BZ_FINISH) == BZ_STREAM_END);
  compressed.resize(compressed.size() - stream.avail_out);
  FUZZ_CHECK(BZ2_bzCompressEnd(&stream) == BZ_OK);
  return compressed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  std::string output = "stale";
  CMemBZ2Decompress decompressor(bytes, size, output);
  decompressor.SetMaxOutput(kCap);
  if (decompressor.Decompress() != 0) {
    FUZZ_CHECK(output.size() <= kCap);
  } else {
    FUZZ_CHECK(output.empty());
  }

  // The input as plain data: compressed and decompressed, it is unchanged,
  // with bytes after the stream (a cipher block's zero fill) ignored.
  if (size <= kCap) {
    std::vector<char> compressed = Compress(bytes, size);
    compressed.resize(compressed.size() + size % 16, '\0');
    std::string roundTrip;
    CMemBZ2Decompress again(compressed.data(), compressed.size(), roundTrip);
    again.SetMaxOutput(kCap);
    FUZZ_CHECK(again.Decompress() != 0);
    FUZZ_CHECK(roundTrip == std::string(bytes, size));
  }
  return 0;
}
