#include "tools/devserver/CipherKeys.h"

#include <vector>

#include "tools/devserver/RandomText.h"

namespace devserver {

CipherKeys CipherKeys::Random() {
  CipherKeys keys;
  keys.m1 = RandomHex(24);
  keys.m2 = RandomHex(24);
  keys.m3 = RandomHex(24);
  return keys;
}

bool CipherKeys::Parse(const std::string& text, CipherKeys* keys, std::string* error) {
  std::vector<std::string> parts;
  std::string::size_type begin = 0;
  while (true) {
    const std::string::size_type comma = text.find(',', begin);
    parts.push_back(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  if (parts.size() != 3) {
    *error = "expected three keys \"m1,m2,m3\"";
    return false;
  }
  for (const std::string& part : parts) {
    if (part.empty()) {
      *error = "a key must not be empty";
      return false;
    }
    for (unsigned char c : part) {
      // Keys travel inside a profile line; a line break would cut them.
      if (c < 0x20 || c == 0x7f) {
        *error = "a key must not hold control characters";
        return false;
      }
    }
  }
  keys->m1 = parts[0];
  keys->m2 = parts[1];
  keys->m3 = parts[2];
  return true;
}

}  // namespace devserver
