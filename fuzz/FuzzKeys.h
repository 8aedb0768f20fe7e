// The key items the fuzz targets install, and the bounds that keep one input
// cheap. Seeds in corpus/ that carry keyed replies were made under these keys.
#pragma once

#include "hostlib/quillon.h"

namespace fuzzing {

constexpr const char* kKeyA = "fuzz-key-item-a";
constexpr const char* kKeyB = "fuzz-key-item-b";
constexpr const char* kKeyC = "fuzz-key-item-c";
// Decompression beyond this is refused; far below the library default, so a
// compression bomb in the corpus costs milliseconds.
constexpr int kMaxDecompressed = 1 << 20;

inline void InstallKeysAndBounds() {
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetConfigItem("GC_CIPER_A", kKeyA);
  cache.SetConfigItem("GC_CIPER_B", kKeyB);
  cache.SetConfigItem("GC_CIPER_C", kKeyC);
  cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", kMaxDecompressed);
}

}  // namespace fuzzing
