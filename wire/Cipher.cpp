#include "wire/Cipher.h"

// MD5 lives in Crypto++'s "weak" namespace; the service's key derivation
// requires it.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <cryptopp/twofish.h>

namespace {

using CryptoPP::BlockPaddingSchemeDef;

// The service fills a last partial block with zero bytes and never strips
// anything on the way back; Crypto++ calls that scheme ZEROS_PADDING.
constexpr auto kZeroFill = BlockPaddingSchemeDef::ZEROS_PADDING;

const CryptoPP::byte* Bytes(const std::string& s) {
  return reinterpret_cast<const CryptoPP::byte*>(s.data());
}

}  // namespace

std::string Base64Encode(const std::string& data) {
  std::string text;
  // Sized once: growing by doubling copies a large body several times over.
  text.reserve((data.size() + 2) / 3 * 4);
  // One line whatever the length: the body is a single form value.
  CryptoPP::StringSource source(data, true,
                                new CryptoPP::Base64Encoder(new CryptoPP::StringSink(text), false));
  return text;
}

std::string Base64Decode(const std::string& text) { return Base64Decode(text.data(), text.size()); }

std::string Base64Decode(const char* text, std::size_t length) {
  std::string data;
  // At most this much: bytes outside the alphabet only make it shorter.
  data.reserve(length / 4 * 3 + 3);
  CryptoPP::StringSource source(reinterpret_cast<const CryptoPP::byte*>(text), length, true,
                                new CryptoPP::Base64Decoder(new CryptoPP::StringSink(data)));
  return data;
}

std::string TwofishEncrypt(const std::string& key, const std::string& plain) {
  std::string cipher;
  cipher.reserve((plain.size() + 15) / 16 * 16);
  try {
    CryptoPP::ECB_Mode<CryptoPP::Twofish>::Encryption encryption(Bytes(key), key.size());
    CryptoPP::StringSource source(
        plain, true,
        new CryptoPP::StreamTransformationFilter(encryption, new CryptoPP::StringSink(cipher), kZeroFill));
  } catch (const CryptoPP::Exception&) {
    // Only a key of a length Twofish rejects gets here; there is nothing
    // sensible to send, so the result is empty rather than an exception.
    cipher.clear();
  }
  return cipher;
}

std::string TwofishDecrypt(const std::string& key, const std::string& cipher, bool* complete) {
  std::string plain;
  plain.reserve(cipher.size());
  bool whole = true;
  try {
    CryptoPP::ECB_Mode<CryptoPP::Twofish>::Decryption decryption(Bytes(key), key.size());
    CryptoPP::StringSource source(
        cipher, true,
        new CryptoPP::StreamTransformationFilter(decryption, new CryptoPP::StringSink(plain), kZeroFill));
  } catch (const CryptoPP::Exception&) {
    // A trailing partial block makes the filter give up at the end of the
    // message; the complete blocks before it are already in `plain` and are
    // kept, since a truncated reply is still worth reading that far.
    whole = false;
    // Defensive: keep only whole blocks should the library ever emit more.
    plain.resize(plain.size() - plain.size() % 16);
  }
  if (complete != nullptr) *complete = whole;
  return plain;
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
