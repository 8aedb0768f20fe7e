// The three service keys: letter rotation, key items and key derivation.
#pragma once

#include <string>

// "A", "B", "C", "A", ... one step per request-body encoding, process-wide.
std::string NextKeyLetter();

// The configuration item "GC_CIPER_" + letter; empty when absent.
std::string ReadKeyItem(const std::string& letter);

// Lower-case hex MD5 of the text: 32 characters, used as a 256-bit key.
std::string DeriveKey(const std::string& text);
