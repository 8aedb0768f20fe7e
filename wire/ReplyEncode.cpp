// Apart from the decoding, so that the client's library carries no bzip2
// compressor.
#include "wire/Bzip2.h"
#include "wire/Cipher.h"
#include "wire/Reply.h"
#include "wire/Vocabulary.h"

namespace wire {

std::string EncodeReply(const std::string& profileText, char letter, const std::string& keyItem,
                        std::size_t compressThreshold) {
  std::string payload = profileText;
  if (profileText.size() > compressThreshold) {
    std::string packed;
    // Should libbz2 fail, the plain text is still a valid reply.
    if (Bzip2Compress(profileText, &packed)) payload = protocol::kCompressedMarker + packed;
  }
  if (letter != protocol::kUnkeyedLetter[0]) payload = TwofishEncrypt(DeriveKey(keyItem), payload);
  std::string reply(1, letter);
  reply += '=';
  reply += Base64Encode(payload);
  return reply;
}

}  // namespace wire
