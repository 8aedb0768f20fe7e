// The three key items the service hands out as "m1", "m2" and "m3"; the
// client stores them as the keys of the letters "A", "B" and "C".
#pragma once

#include <string>

namespace devserver {

struct CipherKeys {
  std::string m1;
  std::string m2;
  std::string m3;

  // Key item for a body letter; null for "Z" and any other byte.
  const std::string* ForLetter(char letter) const;

  // 24 random hex digits each, so every server start hands out fresh keys.
  static CipherKeys Random();

  // "m1,m2,m3": exactly three non-empty items. An empty item is refused
  // because the client treats an empty key as "no key" and could not read
  // the keyed replies.
  static bool Parse(const std::string& text, CipherKeys* keys, std::string* error);
};

}  // namespace devserver
