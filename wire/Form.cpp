#include "wire/Form.h"

namespace wire {

namespace {

bool IsKeyChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
         c == '-';
}

}  // namespace

std::string BuildFormText(const FormFields& fields) {
  std::string form;
  for (const auto& [key, value] : fields) {
    form.append(key).append("=").append(value).append("&");
  }
  return form;
}

bool ParseFormText(const std::string& text, bool requireTrailingAmp, FormFields* fields) {
  if (text.empty()) return true;
  if (requireTrailingAmp && text.back() != '&') return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  std::string::size_type begin = 0;
  while (begin < text.size()) {
    std::string::size_type end = text.find('&', begin);
    if (end == std::string::npos) end = text.size();
    const std::string piece = text.substr(begin, end - begin);
    const std::string::size_type equals = piece.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    for (std::string::size_type i = 0; i < equals; ++i) {
      if (!IsKeyChar(piece[i])) return false;
    }
    (*fields)[piece.substr(0, equals)] = piece.substr(equals + 1);
    begin = end + 1;
  }
  return true;
}

}  // namespace wire
