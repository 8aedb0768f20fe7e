#include "protection/KeyLetters.h"

#include <atomic>
#include <cstdint>

// MD5 lives in Crypto++'s "weak" namespace; the service's key derivation
// requires it.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>

#include "hostlib/quillon.h"
#include "protocol/Vocabulary.h"

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

std::string DeriveKey(const std::string& text) {
  // The 32 hex characters themselves are the key material, not the digest.
  CryptoPP::Weak1::MD5 md5;
  std::string hex;
  // The source owns the filter chain; `md5` outlives it.
  CryptoPP::StringSource source(
      text, true,
      new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(new CryptoPP::StringSink(hex), false, 0)));
  return hex;
}
