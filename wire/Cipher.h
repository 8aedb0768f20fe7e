// The codec's primitives: Base64, Twofish-ECB with zero fill and key
// derivation. Free functions without state, for the client and the service.
#pragma once

#include <cstddef>
#include <string>

// Base64 (RFC 4648 alphabet, "=" padding) on one line.
std::string Base64Encode(const std::string& data);
// Skips bytes outside the alphabet; a trailing short group gives nothing.
std::string Base64Decode(const std::string& text);
// The same for `length` bytes at `text`, so a part of a larger text needs
// no copy of its own.
std::string Base64Decode(const char* text, std::size_t length);

// Twofish-ECB under a 32-byte key, the last partial block filled with zero
// bytes. Decryption strips nothing; when the input is not a multiple of 16
// bytes it returns the plaintext of the complete blocks and sets `complete`
// to false.
std::string TwofishEncrypt(const std::string& key, const std::string& plain);
std::string TwofishDecrypt(const std::string& key, const std::string& cipher, bool* complete = nullptr);

// Lower-case hex MD5 of the text: 32 characters, used as a 256-bit key.
std::string DeriveKey(const std::string& text);
