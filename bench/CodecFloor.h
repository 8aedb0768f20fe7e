// The floor for the body codec: the same work as EncodeBody and DecodeBody
// (key derivation, Twofish-ECB with zero fill, Base64, URL escaping, bzip2)
// done the leanest plain way: buffers sized once, Twofish in one in-place
// call over whole blocks, Crypto++'s Base64 filters, a plain libbz2 loop.
#pragma once

#include <string>

namespace bench {

// Lower-case hex MD5 of the key item: the 32-byte Twofish key.
std::string FloorDeriveKey(const std::string& keyItem);

// "Z=" + URL-escaped Base64 of `form`.
std::string FloorEncodeUnkeyed(const std::string& form);

// letter + "=" + URL-escaped Base64 of the zero-filled Twofish-ECB
// ciphertext of `form` under FloorDeriveKey(keyItem).
std::string FloorEncodeKeyed(const std::string& form, char letter, const std::string& keyItem);

// A framed reply back to its profile text: "Z" Base64-decoded, any other
// letter decrypted under FloorDeriveKey(keyItem); a "YYY=" payload is
// bzip2-expanded. Empty on any failure.
std::string FloorDecode(const std::string& reply, const std::string& keyItem);

}  // namespace bench
