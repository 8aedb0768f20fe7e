#include "bench/CodecFloor.h"

#include <bzlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <cryptopp/twofish.h>

namespace bench {
namespace {

const CryptoPP::byte* Bytes(const char* text) { return reinterpret_cast<const CryptoPP::byte*>(text); }

// Base64 text needs only "+", "/" and "=" escaped in a form value.
std::string FrameEscaped(char letter, const std::string& base64) {
  std::string body;
  body.reserve(2 + base64.size() + base64.size() / 8 + 8);
  body.push_back(letter);
  body.push_back('=');
  for (char c : base64) {
    switch (c) {
      case '+':
        body.append("%2B");
        break;
      case '/':
        body.append("%2F");
        break;
      case '=':
        body.append("%3D");
        break;
      default:
        body.push_back(c);
    }
  }
  return body;
}

std::size_t Base64Length(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// Owns a bzip2 decompression stream.
class Bz2Stream {
 public:
  Bz2Stream() { ok_ = BZ2_bzDecompressInit(&stream_, 0, 0) == BZ_OK; }
  ~Bz2Stream() {
    if (ok_) BZ2_bzDecompressEnd(&stream_);
  }
  Bz2Stream(const Bz2Stream&) = delete;
  Bz2Stream& operator=(const Bz2Stream&) = delete;
  bool ok() const { return ok_; }
  bz_stream* get() { return &stream_; }

 private:
  bz_stream stream_{};
  bool ok_ = false;
};

// Expands straight into the growing output, no intermediate chunk.
bool Bunzip(const char* data, std::size_t length, std::string& out) {
  Bz2Stream holder;
  if (!holder.ok() || length > UINT_MAX) return false;
  bz_stream* stream = holder.get();
  stream->next_in = const_cast<char*>(data);
  stream->avail_in = static_cast<unsigned int>(length);
  out.resize(std::max<std::size_t>(length * 4, 64 * 1024));
  std::size_t produced = 0;
  for (;;) {
    const std::size_t room = std::min<std::size_t>(out.size() - produced, UINT_MAX);
    stream->next_out = &out[produced];
    stream->avail_out = static_cast<unsigned int>(room);
    const int status = BZ2_bzDecompress(stream);
    produced += room - stream->avail_out;
    if (status == BZ_STREAM_END) break;
    if (status != BZ_OK) return false;
    if (stream->avail_out != 0 && stream->avail_in == 0) return false;  // cut short
    if (produced == out.size()) out.resize(out.size() * 2);
  }
  out.resize(produced);
  return true;
}

}  // namespace

std::string FloorDeriveKey(const std::string& keyItem) {
  CryptoPP::byte digest[CryptoPP::Weak1::MD5::DIGESTSIZE];
  CryptoPP::Weak1::MD5().CalculateDigest(digest, Bytes(keyItem.data()), keyItem.size());
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * sizeof digest);
  for (CryptoPP::byte b : digest) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 0xF]);
  }
  return hex;
}

std::string FloorEncodeUnkeyed(const std::string& form) {
  std::string base64;
  base64.reserve(Base64Length(form.size()));
  CryptoPP::StringSource source(form, true,
                                new CryptoPP::Base64Encoder(new CryptoPP::StringSink(base64), false));
  return FrameEscaped('Z', base64);
}

std::string FloorEncodeKeyed(const std::string& form, char letter, const std::string& keyItem) {
  const std::string key = FloorDeriveKey(keyItem);
  CryptoPP::ECB_Mode<CryptoPP::Twofish>::Encryption encryption(Bytes(key.data()), key.size());
  // Zero-filled to whole blocks, then encrypted in place in one call.
  std::string cipher((form.size() + 15) / 16 * 16, '\0');
  std::memcpy(&cipher[0], form.data(), form.size());
  auto* blocks = reinterpret_cast<CryptoPP::byte*>(&cipher[0]);
  encryption.ProcessData(blocks, blocks, cipher.size());
  std::string base64;
  base64.reserve(Base64Length(cipher.size()));
  CryptoPP::StringSource source(cipher, true,
                                new CryptoPP::Base64Encoder(new CryptoPP::StringSink(base64), false));
  return FrameEscaped(letter, base64);
}

std::string FloorDecode(const std::string& reply, const std::string& keyItem) {
  if (reply.size() <= 2) return std::string();
  std::string decoded;
  decoded.reserve((reply.size() - 2) / 4 * 3 + 3);
  CryptoPP::StringSource source(Bytes(reply.data() + 2), reply.size() - 2, true,
                                new CryptoPP::Base64Decoder(new CryptoPP::StringSink(decoded)));
  if (reply[0] != 'Z') {
    // Whole blocks only, decrypted in place; a trailing partial block is
    // dropped, as the library drops it.
    decoded.resize(decoded.size() / 16 * 16);
    const std::string key = FloorDeriveKey(keyItem);
    CryptoPP::ECB_Mode<CryptoPP::Twofish>::Decryption decryption(Bytes(key.data()), key.size());
    auto* blocks = reinterpret_cast<CryptoPP::byte*>(&decoded[0]);
    decryption.ProcessData(blocks, blocks, decoded.size());
  }
  if (decoded.compare(0, 4, "YYY=") != 0) return decoded;
  std::string expanded;
  if (!Bunzip(decoded.data() + 4, decoded.size() - 4, expanded)) return std::string();
  return expanded;
}

}  // namespace bench
