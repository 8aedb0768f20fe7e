// Reply framing: the letter, "=", and the Base64 text of the payload, on one
// line. "Z" replies carry the plain profile text; keyed replies its
// Twofish-ECB ciphertext under the key derived from the letter's key item.
// A text longer than the threshold travels as "YYY=" + bzip2(text).
#pragma once

#include <cstddef>
#include <string>

namespace devserver {

constexpr std::size_t kDefaultCompressThreshold = 4096;

// `letter` 'Z' gives an unkeyed reply and ignores `keyItem`; any other
// letter encrypts under DeriveKey(keyItem).
std::string EncodeReply(const std::string& profileText, char letter, const std::string& keyItem,
                        std::size_t compressThreshold);

}  // namespace devserver
