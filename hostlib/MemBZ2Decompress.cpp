#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kDefaultMaxOutput = 64 * 1024 * 1024;

// Owns an initialised decompression stream; ends it on every path.
class DecompressStream {
 public:
  DecompressStream() {
    stream_.bzalloc = nullptr;
    stream_.bzfree = nullptr;
    stream_.opaque = nullptr;
    status_ = BZ2_bzDecompressInit(&stream_, 0, 0);
  }
  ~DecompressStream() {
    if (status_ == BZ_OK) BZ2_bzDecompressEnd(&stream_);
  }
  DecompressStream(const DecompressStream&) = delete;
  DecompressStream& operator=(const DecompressStream&) = delete;

  int InitStatus() const { return status_; }
  bz_stream& Get() { return stream_; }

 private:
  bz_stream stream_{};
  int status_;
};

enum class Outcome { kDone, kFailed };

using StopCheck = std::function<bool()>;

// Appends `count` bytes to `out` without letting its capacity run past
// `cap`: the string's own geometric growth could otherwise reserve up to
// twice the cap.
void AppendCapped(std::string& out, const char* bytes, std::size_t count, std::size_t cap) {
  const std::size_t needed = out.size() + count;
  if (needed > out.capacity()) {
    const std::size_t doubled = out.capacity() > cap / 2 ? cap : out.capacity() * 2;
    out.reserve(std::min(cap, std::max(needed, doubled)));
  }
  out.append(bytes, count);
}

Outcome Inflate(const char* data, std::size_t length, std::size_t cap, const StopCheck& stop,
                std::string& out) {
  DecompressStream holder;
  if (holder.InitStatus() == BZ_MEM_ERROR) throw std::bad_alloc();
  if (holder.InitStatus() != BZ_OK) return Outcome::kFailed;
  bz_stream& stream = holder.Get();

  std::vector<char> chunk(kChunk);
  std::size_t fed = 0;
  // Each round either consumes input or fills the chunk, so the loop ends
  // within (input / 1 + output / chunk) rounds; a round that does neither
  // means the stream stalled and is treated as damage.
  while (true) {
    // A 64 MiB expansion takes most of a second: a cancel or the caller's
    // deadline is heard between rounds.
    if (stop && stop()) return Outcome::kFailed;
    if (stream.avail_in == 0 && fed < length) {
      // bz_stream counts in unsigned int; larger inputs go in pieces.
      const std::size_t piece = std::min<std::size_t>(length - fed, UINT_MAX);
      stream.next_in = const_cast<char*>(data + fed);
      stream.avail_in = static_cast<unsigned int>(piece);
      fed += piece;
    }
    const unsigned int inBefore = stream.avail_in;
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<unsigned int>(chunk.size());
    const int status = BZ2_bzDecompress(&stream);
    const std::size_t produced = chunk.size() - stream.avail_out;

    if (status == BZ_MEM_ERROR) throw std::bad_alloc();
    if (status != BZ_OK && status != BZ_STREAM_END) return Outcome::kFailed;
    if (produced > cap - out.size()) return Outcome::kFailed;  // over the cap
    AppendCapped(out, chunk.data(), produced, cap);
    // Bytes after the end of the stream (cipher fill, garbage) are ignored.
    if (status == BZ_STREAM_END) return Outcome::kDone;
    const bool inputLeft = stream.avail_in != 0 || fed < length;
    // Room left in the chunk with all input consumed: the stream is cut short.
    if (!inputLeft && stream.avail_out != 0) return Outcome::kFailed;
    if (produced == 0 && stream.avail_in == inBefore) return Outcome::kFailed;
  }
}

}  // namespace

CMemBZ2Decompress::CMemBZ2Decompress(const char* data, std::size_t length, std::string& output)
    : data_(data), length_(length), output_(output), maxOutput_(0) {}

void CMemBZ2Decompress::SetMaxOutput(std::size_t bytes) { maxOutput_ = bytes; }

int CMemBZ2Decompress::Decompress() { return Decompress(StopCheck()); }

int CMemBZ2Decompress::Decompress(const StopCheck& stop) {
  const std::size_t cap = maxOutput_ != 0 ? maxOutput_
                                          : static_cast<std::size_t>(GlobalCache::Instance().GetConfigInt(
                                                proxyhelper::config::kBz2MaxOutput, kDefaultMaxOutput));
  // Decompressed into a string of its own: `data` may point into the output
  // text, which must stay intact until the input has been read.
  std::string result;
  Outcome outcome = Outcome::kFailed;
  try {
    if (data_ != nullptr && length_ != 0) outcome = Inflate(data_, length_, cap, stop, result);
  } catch (const std::bad_alloc&) {
    output_.clear();
    throw;
  }
  if (outcome != Outcome::kDone) {
    output_.clear();
    return 0;
  }
  // Geometric growth may leave up to twice the text as capacity, held for
  // as long as the caller keeps the text; a large one is trimmed to size.
  if (result.capacity() - result.size() > result.size() / 8 + kChunk) result.shrink_to_fit();
  output_.swap(result);
  return 1;
}
