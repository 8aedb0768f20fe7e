// Reply decoding (DecodeBody) on arbitrary reply text, with the three service
// keys configured: no crash, no unbounded output, and the decoding rules hold.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "FuzzKeys.h"
#include "protection/BodyCodec.h"
#include "wire/Cipher.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::InstallKeysAndBounds();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string reply(reinterpret_cast<const char*>(data), size);
  const std::string plain = DecodeBody(reply);

  if (reply.size() <= 2) FUZZ_CHECK(plain.empty());
  const bool keyed = !reply.empty() && (reply[0] == 'A' || reply[0] == 'B' || reply[0] == 'C');
  // A letter without a key is passed through, first two bytes included.
  if (reply.size() > 2 && reply[0] != 'Z' && !keyed) FUZZ_CHECK(plain == reply);
  // Whatever the input, a decompressed result stays within the bound.
  FUZZ_CHECK(plain.size() <= reply.size() + fuzzing::kMaxDecompressed);

  // The input as a payload: framed unkeyed and keyed, it comes back as it
  // was (keyed: with the zero fill of its last block), unless it is itself
  // marked as compressed.
  if (reply.compare(0, 4, "YYY=") != 0 && !reply.empty()) {
    FUZZ_CHECK(DecodeBody("Z=" + Base64Encode(reply)) == reply);
    const std::string cipher = TwofishEncrypt(DeriveKey(fuzzing::kKeyB), reply);
    std::string filled = reply;
    filled.resize(cipher.size(), '\0');
    FUZZ_CHECK(DecodeBody("B=" + Base64Encode(cipher)) == filled);
  }
  return 0;
}
