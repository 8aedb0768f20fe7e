// Request bodies and replies of the account service.
#pragma once

#include <cstddef>
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
