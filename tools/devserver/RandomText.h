// Random tokens and filler bytes (session "magic", "dailsession", keys,
// garbage replies). Safe to call from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace devserver {

// `length` lower-case hex digits.
std::string RandomHex(std::size_t length);

// `length` bytes drawn from `alphabet` (which must not be empty).
std::string RandomFrom(const std::string& alphabet, std::size_t length);

}  // namespace devserver
