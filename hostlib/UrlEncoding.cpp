#include <string>

#include "hostlib/quillon.h"

namespace {

constexpr bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

// IsUnreserved for every byte, looked up rather than worked out: bodies run
// to megabytes, and the chain of comparisons showed in every encoding.
struct UnreservedTable {
  constexpr UnreservedTable() : unreserved() {
    for (int c = 0; c < 256; ++c) unreserved[c] = IsUnreserved(static_cast<unsigned char>(c));
  }
  bool unreserved[256];
};
constexpr UnreservedTable kUnreserved;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

namespace QUILLON {

std::string URLEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  // Sized exactly first, then written into place.
  std::size_t escapes = 0;
  for (char byte : text) escapes += kUnreserved.unreserved[static_cast<unsigned char>(byte)] ? 0 : 1;
  std::string encoded(text.size() + 2 * escapes, '\0');
  char* out = &encoded[0];
  for (char byte : text) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (kUnreserved.unreserved[c]) {
      *out++ = byte;
    } else {
      *out++ = '%';
      *out++ = kHex[c >> 4];
      *out++ = kHex[c & 0xF];
    }
  }
  return encoded;
}

std::string URLDecode(const std::string& text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      decoded.push_back(' ');
      continue;
    }
    if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
      continue;
    }
    decoded.push_back(c);  // not an escape: kept as it is
  }
  return decoded;
}

}  // namespace QUILLON
