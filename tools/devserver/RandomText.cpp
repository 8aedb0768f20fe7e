#include "tools/devserver/RandomText.h"

#include <random>

namespace devserver {

std::string RandomFrom(const std::string& alphabet, std::size_t length) {
  // random_device reads the kernel's generator: tokens must not be
  // guessable from earlier ones, and a fresh object per call needs no lock.
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::string text;
  text.reserve(length);
  for (std::size_t i = 0; i < length; ++i) text.push_back(alphabet[pick(device)]);
  return text;
}

std::string RandomHex(std::size_t length) { return RandomFrom("0123456789abcdef", length); }

}  // namespace devserver
