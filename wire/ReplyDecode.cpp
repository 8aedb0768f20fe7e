#include <exception>
#include <new>
#include <utility>

#include "hostlib/quillon.h"
#include "wire/Cipher.h"
#include "wire/Reply.h"
#include "wire/Vocabulary.h"

namespace wire {

namespace {

constexpr std::size_t kMarkerLength = sizeof(protocol::kCompressedMarker) - 1;

// The marker ("YYY=") starts a bzip2 stream in the rest of the text, block fill included.
// Takes the text by value: an uncompressed reply is handed on without a copy.
std::string ExpandIfCompressed(std::string decoded, const std::function<bool()>& stop) {
  if (decoded.compare(0, kMarkerLength, protocol::kCompressedMarker) != 0) return decoded;
  try {
    std::string expanded;
    CMemBZ2Decompress decompressor(decoded.data() + kMarkerLength, decoded.size() - kMarkerLength, expanded);
    if (decompressor.Decompress(stop) == 0) return std::string();
    return expanded;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    return decoded;
  }
}

}  // namespace

std::string DecodeReply(const char* reply, std::size_t length, const KeyItemLookup& keyItemFor,
                        const std::function<bool()>& stop) {
  if (length <= 2) return std::string();
  const char letter = reply[0];
  // Byte 1 separates the letter from the payload and is not examined. The
  // payload is decoded where it lies; a large reply is not copied for it.
  const char* const payload = reply + 2;
  const std::size_t payloadLength = length - 2;

  std::string decoded;
  if (letter == protocol::kUnkeyedLetter[0]) {
    decoded = Base64Decode(payload, payloadLength);
  } else {
    try {
      const std::string item = keyItemFor ? keyItemFor(letter) : std::string();
      // A letter without a key is not ours to decode: plain profile text or
      // an error page is handed on as it came.
      if (item.empty()) return std::string(reply, length);
      std::string cipher = Base64Decode(payload, payloadLength);
      if (stop && stop()) return std::string();
      decoded = TwofishDecrypt(DeriveKey(item), cipher);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      // Whatever was decrypted before a failure is still worth parsing.
    }
  }
  if (stop && stop()) return std::string();
  return ExpandIfCompressed(std::move(decoded), stop);
}

}  // namespace wire
