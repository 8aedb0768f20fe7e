// Request bodies and replies of the account service, under the client's key
// rotation and configured key items; the codec itself is wire/.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// The POST body: key letter, "=", URL-encoded Base64 of the form (mode 1)
// or of its Twofish ciphertext under the letter's key (mode 2).
std::string EncodeBody(const std::string& plainForm, int mode);

// The plain profile text of a reply: "Z" replies Base64-decoded, keyed
// replies decrypted, "YYY=" payloads decompressed; a reply whose letter
// names no configured key comes back unchanged.
std::string DecodeBody(const std::string& reply);
// The same for the first `length` bytes at `reply`.
std::string DecodeBody(const char* reply, std::size_t length);
// The same, asking `stop` between the steps and between rounds of a
// decompression; once it answers true the result is empty text.
std::string DecodeBody(const char* reply, std::size_t length, const std::function<bool()>& stop);
