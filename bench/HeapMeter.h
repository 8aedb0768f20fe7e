// Heap accounting for the memory figures: this executable replaces the C
// allocator's entry points with thin wrappers around glibc's own, so every
// allocation of the process is seen, whether it comes from operator new,
// Crypto++, libbz2 or libcurl (all of them end in malloc).
//
// One shared object can be set apart: allocations it makes itself (its code
// calls malloc directly) are then also kept out of a second, "own" count, so
// a figure can be split into that library's share and everyone else's.
#pragma once

#include <cstdint>

namespace bench {

// Bytes currently allocated (usable sizes), process-wide.
std::int64_t LiveHeapBytes();
// The same without the set-apart library's allocations.
std::int64_t LiveOwnHeapBytes();

// Starts a new peak window at the current live sizes.
void ResetHeapPeak();

// Highest live sizes since the last ResetHeapPeak.
std::int64_t HeapPeakBytes();
std::int64_t OwnHeapPeakBytes();

// Sets apart the shared object that contains `anyFunction`; false when it
// cannot be found.
bool SetApartLibraryOf(const void* anyFunction);

}  // namespace bench
