// Small helpers for the codec tests, independent of the code under test.
#pragma once

#include <bzlib.h>
#include <gtest/gtest.h>

#include <cctype>
#include <string>

// Reverses %XX escapes; the codec's bodies carry no "+".
inline std::string PercentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The text filled with zero bytes up to a whole number of cipher blocks.
inline std::string ZeroFilled(std::string text) {
  text.append((16 - text.size() % 16) % 16, '\0');
  return text;
}

inline std::string Bzip2(const std::string& text) {
  unsigned int size = static_cast<unsigned int>(text.size() + text.size() / 100 + 600);
  std::string out(size, '\0');
  const int rc = BZ2_bzBuffToBuffCompress(&out[0], &size, const_cast<char*>(text.data()),
                                          static_cast<unsigned int>(text.size()), 9, 0, 30);
  EXPECT_EQ(rc, BZ_OK);
  out.resize(size);
  return out;
}
