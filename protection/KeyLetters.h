// The client's side of the three service keys: the letter rotation and the
// key items in the configuration. Key derivation is in wire/Cipher.h.
#pragma once

#include <string>

// "A", "B", "C", "A", ... one step per request-body encoding, process-wide.
std::string NextKeyLetter();

// The configuration item "GC_CIPER_" + letter; empty when absent.
std::string ReadKeyItem(const std::string& letter);
