#include "tools/cli/Printable.h"

#include <cstdio>

namespace proxycli {

namespace {

// The escape of one byte: "\n", "\r", "\t" or "\xHH"; returns its length.
std::size_t Escape(unsigned char byte, char (&out)[5]) {
  switch (byte) {
    case '\n':
      out[0] = '\\', out[1] = 'n';
      return 2;
    case '\r':
      out[0] = '\\', out[1] = 'r';
      return 2;
    case '\t':
      out[0] = '\\', out[1] = 't';
      return 2;
    default:
      break;
  }
  std::snprintf(out, sizeof out, "\\x%02x", byte);
  return 4;
}

// Length of the well-formed UTF-8 sequence at `at` (2 to 4), with its code
// point; 0 when the bytes there are not one.
std::size_t Utf8Sequence(std::string_view text, std::size_t at, unsigned* codePoint) {
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

// Controls a terminal acts on rather than shows: the C1 set, and the marks,
// embeddings, overrides and isolates that reorder the rest of a line.
bool IsControl(unsigned codePoint) {
  return codePoint <= 0x9F || codePoint == 0x061C || codePoint == 0x200E || codePoint == 0x200F ||
         (codePoint >= 0x202A && codePoint <= 0x202E) || (codePoint >= 0x2066 && codePoint <= 0x2069);
}

}  // namespace

void PrintablePieces(std::string_view text, const PrintableSink& sink) {
  std::size_t run = 0;  // start of the bytes passed unchanged
  char escape[5];
  const auto escapeBytes = [&](std::size_t at, std::size_t count) {
    if (at > run) sink(text.data() + run, at - run);
    for (std::size_t k = 0; k < count; ++k) {
      sink(escape, Escape(static_cast<unsigned char>(text[at + k]), escape));
    }
    run = at + count;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      escapeBytes(i, 1);
      continue;
    }
    if (byte < 0x80) continue;
    unsigned codePoint = 0;
    const std::size_t length = Utf8Sequence(text, i, &codePoint);
    if (length == 0) {
      // A bare 8-bit byte: 0x80..0x9F are C1 controls to a terminal that is
      // not in UTF-8 mode (0x9B is CSI); the rest is text in some 8-bit set.
      if (byte <= 0x9F) escapeBytes(i, 1);
      continue;
    }
    if (IsControl(codePoint)) escapeBytes(i, length);
    i += length - 1;
  }
  if (text.size() > run) sink(text.data() + run, text.size() - run);
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  PrintablePieces(text, [&out](const char* data, std::size_t size) { out.append(data, size); });
  return out;
}

std::size_t PrintableSize(std::string_view text) {
  std::size_t size = 0;
  PrintablePieces(text, [&size](const char*, std::size_t piece) { size += piece; });
  return size;
}

}  // namespace proxycli
