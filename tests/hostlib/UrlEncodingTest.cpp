#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

TEST(UrlEncodingTest, EncodesExactly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"AZaz09-._~", "AZaz09-._~"},
      {"a b", "a%20b"},
      {"a+b=c&d/e", "a%2Bb%3Dc%26d%2Fe"},
      {"YWJj+/==", "YWJj%2B%2F%3D%3D"},  // a Base64 text as the body carries it
      {std::string("\0\x01\x7f", 3), "%00%01%7F"},
      {"\x80\xff\xe4\xb8\xad", "%80%FF%E4%B8%AD"},
      {"%", "%25"},
      {"!*'();:@$,?#[]", "%21%2A%27%28%29%3B%3A%40%24%2C%3F%23%5B%5D"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    EXPECT_EQ(QUILLON::URLEncode(c.first), c.second);
  }
}

TEST(UrlEncodingTest, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string encoded = QUILLON::URLEncode(all);
  // 66 unreserved bytes stay single; the other 190 become three bytes each.
  EXPECT_EQ(encoded.size(), 66u + 190u * 3u);
  EXPECT_EQ(encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~%"),
            std::string::npos);
  EXPECT_EQ(QUILLON::URLDecode(encoded), all);
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(QUILLON::URLDecode(QUILLON::URLEncode(one)), one) << "byte " << b;
  }
}

TEST(UrlEncodingTest, DecodesPlusAndKeepsMalformedEscapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a+b", "a b"}, {"%41%62", "Ab"}, {"%e4%B8%aD", "\xe4\xb8\xad"},  // either case of hex digit
      {"%2B", "+"},   {"%", "%"},       {"%4", "%4"},
      {"a%", "a%"},   {"%zz", "%zz"},   {"%4g", "%4g"},
      {"%%41", "%A"}, {"100%", "100%"}, {"%00", std::string(1, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_EQ(QUILLON::URLDecode(c.first), c.second);
  }
}

}  // namespace
