#include "protection/KeyLetters.h"

#include <atomic>
#include <cstdint>

#include "hostlib/quillon.h"
#include "wire/Vocabulary.h"

namespace {

// One step per request-body encoding for the life of the process. Unsigned,
// so it wraps instead of overflowing; the index stays 0, 1 or 2 either way.
std::atomic<uint32_t> keyCounter{0};

}  // namespace

std::string NextKeyLetter() {
  const uint32_t n = keyCounter.fetch_add(1, std::memory_order_relaxed);
  return std::string(1, protocol::kKeyLetters[n % 3]);
}

std::string ReadKeyItem(const std::string& letter) {
  std::string value;
  // An absent item leaves `value` empty, which callers take as "no key".
  GlobalCache::Instance().GetConfigItem(protocol::kGcCipherPrefix + letter, value);
  return value;
}
