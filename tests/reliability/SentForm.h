// Reading back what the client sent: the form fields of a request body.
#pragma once

#include <map>
#include <string>

#include "hostlib/quillon.h"
#include "protection/Cipher.h"
#include "protection/KeyLetters.h"

namespace reliability {

// The fields of a body "L=<URL-encoded Base64>": unkeyed ("Z") bodies as
// they are, keyed ones decrypted under the key the client holds now. Empty
// when the body is not of that shape.
inline std::map<std::string, std::string> SentFields(const std::string& body) {
  std::map<std::string, std::string> fields;
  if (body.size() < 2 || body[1] != '=') return fields;
  std::string form = Base64Decode(QUILLON::URLDecode(body.substr(2)));
  if (body[0] != 'Z') {
    form = TwofishDecrypt(DeriveKey(ReadKeyItem(body.substr(0, 1))), form);
    while (!form.empty() && form.back() == '\0') form.pop_back();
  }
  std::size_t start = 0;
  while (start < form.size()) {
    std::size_t end = form.find('&', start);
    if (end == std::string::npos) end = form.size();
    const std::string piece = form.substr(start, end - start);
    const std::size_t equals = piece.find('=');
    if (equals != std::string::npos) fields[piece.substr(0, equals)] = piece.substr(equals + 1);
    start = end + 1;
  }
  return fields;
}

}  // namespace reliability
