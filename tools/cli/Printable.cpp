#include "tools/cli/Printable.h"

#include <cstdio>

namespace proxycli {

namespace {

void Escape(unsigned char byte, std::string* out) {
  switch (byte) {
    case '\n':
      *out += "\\n";
      return;
    case '\r':
      *out += "\\r";
      return;
    case '\t':
      *out += "\\t";
      return;
    default:
      break;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02x", byte);
  *out += hex;
}

// Length of the well-formed UTF-8 sequence at `at` (2 to 4), with its code
// point; 0 when the bytes there are not one.
std::size_t Utf8Sequence(const std::string& text, std::size_t at, unsigned* codePoint) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(at);
  std::size_t length = 0;
  unsigned value = 0;
  unsigned minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *codePoint = value;
  return length;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      Escape(byte, &out);
      continue;
    }
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      continue;
    }
    unsigned codePoint = 0;
    const std::size_t length = Utf8Sequence(text, i, &codePoint);
    if (length == 0) {
      // A bare 8-bit byte: 0x80..0x9F are C1 controls to a terminal that is
      // not in UTF-8 mode (0x9B is CSI); the rest is text in some 8-bit set.
      if (byte <= 0x9F) {
        Escape(byte, &out);
      } else {
        out += static_cast<char>(byte);
      }
      continue;
    }
    if (codePoint <= 0x9F) {
      for (std::size_t k = 0; k < length; ++k) Escape(static_cast<unsigned char>(text[i + k]), &out);
    } else {
      out.append(text, i, length);
    }
    i += length - 1;
  }
  return out;
}

}  // namespace proxycli
