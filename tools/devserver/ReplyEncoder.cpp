#include "tools/devserver/ReplyEncoder.h"

#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "protocol/Vocabulary.h"
#include "tools/devserver/Compression.h"

namespace devserver {

std::string EncodeReply(const std::string& profileText, char letter, const std::string& keyItem,
                        std::size_t compressThreshold) {
  std::string payload = profileText;
  if (profileText.size() > compressThreshold) {
    std::string packed;
    // Should libbz2 fail, the plain text is still a valid reply.
    if (Bzip2Compress(profileText, &packed)) payload = protocol::kCompressedMarker + packed;
  }
  if (letter != 'Z') payload = TwofishEncrypt(DeriveKey(keyItem), payload);
  std::string reply(1, letter);
  reply += '=';
  reply += Base64Encode(payload);
  return reply;
}

}  // namespace devserver
