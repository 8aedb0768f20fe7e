// The three key items the service hands out as "m1", "m2" and "m3"; the
// client stores them as the keys of the letters "A", "B" and "C".
#pragma once

#include <string>

#include "wire/Request.h"

namespace devserver {

// The service's own key set: how it makes and reads its keys.
struct CipherKeys : wire::KeyItems {
  // 24 random hex digits each, so every server start hands out fresh keys.
  static CipherKeys Random();

  // "m1,m2,m3": exactly three non-empty items. An empty item is refused
  // because the client treats an empty key as "no key" and could not read
  // the keyed replies.
  static bool Parse(const std::string& text, CipherKeys* keys, std::string* error);
};

}  // namespace devserver
