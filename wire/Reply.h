// Reply framing in both directions: the letter, "=", and the Base64 text of
// the payload, on one line. "Z" replies carry the plain profile text; keyed
// replies its Twofish-ECB ciphertext under the key derived from the letter's
// key item. A payload starting "YYY=" is bzip2 of the text.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace wire {

constexpr std::size_t kDefaultCompressThreshold = 4096;

// `letter` 'Z' gives an unkeyed reply and ignores `keyItem`; any other
// letter encrypts under DeriveKey(keyItem). A text longer than
// `compressThreshold` travels compressed.
std::string EncodeReply(const std::string& profileText, char letter, const std::string& keyItem,
                        std::size_t compressThreshold);

// The key item for a reply's letter (any byte but 'Z'); empty when there is
// none.
using KeyItemLookup = std::function<std::string(char letter)>;

// The plain profile text of the first `length` bytes at `reply`: "Z" replies
// Base64-decoded, keyed replies decrypted (the zero fill of the last block
// kept), "YYY=" payloads decompressed (a damaged stream gives empty text); a
// reply whose letter has no key item comes back unchanged, a reply of two
// bytes or fewer as empty text. `stop`, when set, is asked between the steps
// and between rounds of a decompression; once it answers true the result is
// empty text.
std::string DecodeReply(const char* reply, std::size_t length, const KeyItemLookup& keyItemFor,
                        const std::function<bool()>& stop);

}  // namespace wire
