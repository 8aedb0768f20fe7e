#include "bench/HeapMeter.h"

#include <errno.h>
#include <link.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>

// glibc's own allocator, under the names it keeps for wrappers like this one.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* block);
}

namespace {

// Plain atomics with static storage: usable before any constructor runs,
// which matters because the loader allocates before main.
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};
std::atomic<std::int64_t> liveOwnBytes{0};
std::atomic<std::int64_t> peakOwnBytes{0};

// Code range of the set-apart library; empty until SetApartLibraryOf.
std::atomic<std::uintptr_t> apartBegin{0};
std::atomic<std::uintptr_t> apartEnd{0};

// Blocks the set-apart library holds. A library like libbz2 holds a handful
// at a time; should more be live, the extra ones count as own.
constexpr int kApartSlots = 64;
std::atomic<void*> apartBlocks[kApartSlots];
std::atomic<int> apartCount{0};

void RaisePeak(std::atomic<std::int64_t>& peak, std::int64_t now) {
  std::int64_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

bool FromApartLibrary(const void* caller) {
  const auto address = reinterpret_cast<std::uintptr_t>(caller);
  return address >= apartBegin.load(std::memory_order_relaxed) &&
         address < apartEnd.load(std::memory_order_relaxed);
}

bool RememberApart(void* block) {
  for (auto& slot : apartBlocks) {
    void* empty = nullptr;
    if (slot.compare_exchange_strong(empty, block, std::memory_order_relaxed)) {
      apartCount.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

bool ForgetApart(void* block) {
  if (apartCount.load(std::memory_order_relaxed) == 0) return false;
  for (auto& slot : apartBlocks) {
    void* expected = block;
    if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_relaxed)) {
      apartCount.fetch_sub(1, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void Grew(void* block, const void* caller) {
  if (block == nullptr) return;
  const auto size = static_cast<std::int64_t>(malloc_usable_size(block));
  RaisePeak(peakBytes, liveBytes.fetch_add(size, std::memory_order_relaxed) + size);
  if (FromApartLibrary(caller) && RememberApart(block)) return;
  RaisePeak(peakOwnBytes, liveOwnBytes.fetch_add(size, std::memory_order_relaxed) + size);
}

void Shrank(void* block) {
  if (block == nullptr) return;
  const auto size = static_cast<std::int64_t>(malloc_usable_size(block));
  liveBytes.fetch_sub(size, std::memory_order_relaxed);
  if (!ForgetApart(block)) liveOwnBytes.fetch_sub(size, std::memory_order_relaxed);
}

bool IsPowerOfTwo(size_t n) { return n != 0 && (n & (n - 1)) == 0; }

struct RangeSearch {
  std::uintptr_t address;
  std::uintptr_t begin;
  std::uintptr_t end;
};

int FindObject(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<RangeSearch*>(data);
  std::uintptr_t begin = ~std::uintptr_t{0};
  std::uintptr_t end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_LOAD) continue;
    const std::uintptr_t first = info->dlpi_addr + header.p_vaddr;
    if (first < begin) begin = first;
    if (first + header.p_memsz > end) end = first + header.p_memsz;
  }
  if (search->address < begin || search->address >= end) return 0;
  search->begin = begin;
  search->end = end;
  return 1;
}

}  // namespace

namespace bench {

std::int64_t LiveHeapBytes() { return liveBytes.load(std::memory_order_relaxed); }

std::int64_t LiveOwnHeapBytes() { return liveOwnBytes.load(std::memory_order_relaxed); }

void ResetHeapPeak() {
  peakBytes.store(LiveHeapBytes(), std::memory_order_relaxed);
  peakOwnBytes.store(LiveOwnHeapBytes(), std::memory_order_relaxed);
}

std::int64_t HeapPeakBytes() { return peakBytes.load(std::memory_order_relaxed); }

std::int64_t OwnHeapPeakBytes() { return peakOwnBytes.load(std::memory_order_relaxed); }

bool SetApartLibraryOf(const void* anyFunction) {
  RangeSearch search{reinterpret_cast<std::uintptr_t>(anyFunction), 0, 0};
  if (dl_iterate_phdr(FindObject, &search) == 0) return false;
  apartBegin.store(search.begin, std::memory_order_relaxed);
  apartEnd.store(search.end, std::memory_order_relaxed);
  return true;
}

}  // namespace bench

// The caller is the code that called malloc; for the set-apart library that
// is its own code even when it reaches malloc through a wrapper of its own.
#define HEAP_CALLER __builtin_return_address(0)

extern "C" {

void* malloc(size_t size) noexcept {
  void* block = __libc_malloc(size);
  Grew(block, HEAP_CALLER);
  return block;
}

void* calloc(size_t count, size_t size) noexcept {
  void* block = __libc_calloc(count, size);
  Grew(block, HEAP_CALLER);
  return block;
}

void* realloc(void* block, size_t size) noexcept {
  const void* caller = HEAP_CALLER;
  const auto before = block != nullptr ? malloc_usable_size(block) : 0;
  const bool wasApart = block != nullptr && ForgetApart(block);
  void* moved = __libc_realloc(block, size);
  // A failed realloc keeps the old block; realloc(p, 0) frees it and
  // returns null.
  if (moved == nullptr && (size != 0 || block == nullptr)) {
    if (wasApart) RememberApart(block);
    return nullptr;
  }
  liveBytes.fetch_sub(static_cast<std::int64_t>(before), std::memory_order_relaxed);
  if (!wasApart) liveOwnBytes.fetch_sub(static_cast<std::int64_t>(before), std::memory_order_relaxed);
  Grew(moved, caller);
  return moved;
}

void free(void* block) noexcept {
  Shrank(block);
  __libc_free(block);
}

void* memalign(size_t alignment, size_t size) noexcept {
  void* block = __libc_memalign(alignment, size);
  Grew(block, HEAP_CALLER);
  return block;
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
  void* block = __libc_memalign(alignment, size);
  Grew(block, HEAP_CALLER);
  return block;
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  if (!IsPowerOfTwo(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  Grew(block, HEAP_CALLER);
  *out = block;
  return 0;
}

void* valloc(size_t size) noexcept {
  void* block = __libc_memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size);
  Grew(block, HEAP_CALLER);
  return block;
}

void* pvalloc(size_t size) noexcept {
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* block = __libc_memalign(page, (size + page - 1) / page * page);
  Grew(block, HEAP_CALLER);
  return block;
}

}  // extern "C"
