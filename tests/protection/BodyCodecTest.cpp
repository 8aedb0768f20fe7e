// Request bodies and reply decoding, end to end through the framing.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "protection/KeyLetters.h"
#include "support/ServiceSide.h"
#include "wire/Cipher.h"

namespace {

using testsupport::Bzip2;
using testsupport::UnkeyedReply;

// Reverses %XX escapes; the codec's bodies carry no "+".
std::string PercentDecode(const std::string& text) {
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
std::string ZeroFilled(std::string text) {
  text.append((16 - text.size() % 16) % 16, '\0');
  return text;
}

std::string Text(std::size_t length) {
  std::string s;
  for (std::size_t i = 0; i < length; ++i) s.push_back("key=value&\n"[i % 11]);
  return s;
}

// A keyed reply as the service frames it, the letter given as text.
std::string KeyedReply(const std::string& letter, const std::string& keyItem, const std::string& payload) {
  return testsupport::KeyedReply(letter[0], keyItem, payload);
}

void ConfigureKeys() {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "key of A");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "\xe9\xe8 key of B with more than 32 bytes....");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "c");
}

}  // namespace

TEST(EncodeBodyTest, UnkeyedExamples) {
  EXPECT_EQ(EncodeBody("abc", 1), "Z=YWJj");
  EXPECT_EQ(EncodeBody("", 1), "Z=");
}

TEST(EncodeBodyTest, UnkeyedValueIsUrlEscapedBase64) {
  // Bytes chosen so that the Base64 holds "+", "/" and "=".
  const std::string form = std::string("\xfb\xff", 2) + "agent=x1&";
  const std::string body = EncodeBody(form, 1);
  ASSERT_EQ(body.substr(0, 2), "Z=");
  const std::string value = body.substr(2);
  EXPECT_EQ(value.find_first_of("+/="), std::string::npos) << value;
  EXPECT_EQ(PercentDecode(value), Base64Encode(form));
}

TEST(EncodeBodyTest, KeyedEmptyFormIsLetterAlone) {
  ConfigureKeys();
  EXPECT_EQ(EncodeBody("", 2), "A=");
}

TEST(EncodeBodyTest, KeyedLengthsFollowWholeBlocks) {
  ConfigureKeys();
  struct Case {
    std::size_t formLength;
    std::size_t base64Length;
  } const cases[] = {{1, 24}, {15, 24}, {16, 24}, {17, 44}, {32, 44}, {33, 64}};
  const char letters[] = "ABC";
  for (std::size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    const Case& c = cases[i];
    const std::string form = Text(c.formLength);
    const std::string body = EncodeBody(form, 2);
    const std::string letter(1, letters[i % 3]);
    ASSERT_EQ(body.substr(0, 2), letter + "=") << i;
    const std::string base64 = PercentDecode(body.substr(2));
    EXPECT_EQ(base64.size(), c.base64Length) << c.formLength;
    EXPECT_EQ(TwofishDecrypt(DeriveKey(ReadKeyItem(letter)), Base64Decode(base64)), ZeroFilled(form));
  }
}

TEST(EncodeBodyTest, LargeBodiesStayOneLine) {
  ConfigureKeys();
  const std::string form = Text(8000);
  for (int mode : {1, 2}) {
    const std::string body = EncodeBody(form, mode);
    EXPECT_GT(body.size(), 8000u * 4 / 3);
    // Neither raw nor escaped line breaks.
    EXPECT_EQ(body.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(body.find("%0A"), std::string::npos);
    EXPECT_EQ(body.find("%0D"), std::string::npos);
  }
}

TEST(DecodeBodyTest, TooShortIsEmpty) {
  for (const char* reply : {"", "Z", "Z=", "AB", "{}", "Z=Y", "Z=W"}) {
    EXPECT_EQ(DecodeBody(reply), "") << reply;
  }
}

TEST(DecodeBodyTest, SecondByteIsNotExamined) {
  for (const std::string& reply : {std::string("Z=YWJj"), std::string("ZxYWJj"), std::string("ZZYWJj"),
                                   std::string("Z\nYWJj"), std::string("Z\0YWJj", 6)}) {
    EXPECT_EQ(DecodeBody(reply), "abc");
  }
}

TEST(DecodeBodyTest, TextWithoutConfiguredKeyPassesThrough) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "only B is configured");
  const std::vector<std::string> replies = {
      "result=0\nerrdesc=\n[config]\nm1=x\n",
      "<html><body>502 Bad Gateway</body></html>",
      "[servers]\n1=a,b\n",
      "A=YWJj",  // a keyed letter without its key is not Base64-decoded
      KeyedReply("C", "", "result=0\n"),
      std::string("\xff\xfe binary \x01", 12),
  };
  for (const std::string& reply : replies) EXPECT_EQ(DecodeBody(reply), reply) << reply;
}

TEST(DecodeBodyTest, RoundTripsEveryLetterWithAndWithoutCompression) {
  ConfigureKeys();
  const std::vector<std::string> texts = {"r",      "result=0\n", Text(16),
                                          Text(17), Text(3000),   std::string("bin\0ary\xff\x80", 9)};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text.size());
    // Unkeyed: exactly the text, plain or compressed.
    EXPECT_EQ(DecodeBody(UnkeyedReply(text)), text);
    EXPECT_EQ(DecodeBody(UnkeyedReply("YYY=" + Bzip2(text))), text);
    for (const char* letter : {"A", "B", "C"}) {
      SCOPED_TRACE(letter);
      const std::string key = ReadKeyItem(letter);
      // Keyed: the zero fill of the last block stays.
      EXPECT_EQ(DecodeBody(KeyedReply(letter, key, text)), ZeroFilled(text));
      // Compressed: the fill follows the stream and is not part of the text.
      EXPECT_EQ(DecodeBody(KeyedReply(letter, key, "YYY=" + Bzip2(text))), text);
    }
  }
}

TEST(DecodeBodyTest, Base64BrokenIntoLinesStillDecodes) {
  ConfigureKeys();
  const std::string text = Text(200);
  std::string reply = KeyedReply("B", ReadKeyItem("B"), text);
  for (std::size_t at = 76; at < reply.size(); at += 78) reply.insert(at, "\r\n");
  EXPECT_EQ(DecodeBody(reply), ZeroFilled(text));
}

TEST(DecodeBodyTest, DamagedCompressedStreamIsEmpty) {
  ConfigureKeys();
  const std::string stream = Bzip2(Text(5000));
  std::string flipped = stream;
  for (std::size_t at = 20; at < flipped.size() - 20; at += 7) flipped[at] = static_cast<char>(~flipped[at]);
  const std::string truncated = stream.substr(0, stream.size() / 2);
  for (const std::string& bad : {flipped, truncated, std::string("garbage that is no stream")}) {
    EXPECT_EQ(DecodeBody(UnkeyedReply("YYY=" + bad)), "");
    EXPECT_EQ(DecodeBody(KeyedReply("C", ReadKeyItem("C"), "YYY=" + bad)), "");
  }
}

TEST(DecodeBodyTest, MarkerEdgeCases) {
  EXPECT_EQ(DecodeBody(UnkeyedReply("YYY")), "YYY");
  EXPECT_EQ(DecodeBody(UnkeyedReply("YYY=")), "");
  EXPECT_EQ(DecodeBody(UnkeyedReply("YY=Y" + Bzip2("x"))), "YY=Y" + Bzip2("x"));
  EXPECT_EQ(DecodeBody(UnkeyedReply("yyy=abc")), "yyy=abc");
}

TEST(DecodeBodyTest, PartialLastBlockKeepsCompleteBlocks) {
  ConfigureKeys();
  const std::string text = Text(40);
  const std::string cipher = TwofishEncrypt(DeriveKey(ReadKeyItem("A")), text);  // 48 bytes
  const struct {
    std::size_t cipherLength;
    std::string expected;
  } cases[] = {{8, ""}, {16, text.substr(0, 16)}, {40, text.substr(0, 32)}, {47, text.substr(0, 32)}};
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeBody("A=" + Base64Encode(cipher.substr(0, c.cipherLength))), c.expected)
        << c.cipherLength;
  }
}

TEST(DecodeBodyTest, WrongKeyGivesUnreadableBytesNotACrash) {
  ConfigureKeys();
  const std::string text = Text(64);
  const std::string reply = KeyedReply("A", "the key the service used", text);
  const std::string decoded = DecodeBody(reply);
  EXPECT_EQ(decoded.size(), text.size());
  EXPECT_NE(decoded, text);
  // Compressed under the wrong key: the marker does not survive decryption.
  EXPECT_NE(DecodeBody(KeyedReply("A", "the key the service used", "YYY=" + Bzip2(text))), text);
}

TEST(DecodeBodyTest, KeysAreReadAfreshForEveryReply) {
  const std::string reply = KeyedReply("B", "old key", "result=0\n");
  EXPECT_EQ(DecodeBody(reply), reply);  // no key yet: unchanged
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "old key");
  EXPECT_EQ(DecodeBody(reply), ZeroFilled("result=0\n"));
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "new key");
  EXPECT_NE(DecodeBody(reply), ZeroFilled("result=0\n"));
}
