// Base64, Twofish-ECB with zero fill and key derivation, against published
// vectors and Crypto++'s raw primitives.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <cryptopp/twofish.h>
#include <gtest/gtest.h>

#include <string>

#include "wire/Cipher.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// One block through Crypto++'s block interface, with no filter or mode.
std::string RawBlockEncrypt(const std::string& key, const std::string& block) {
  CryptoPP::Twofish::Encryption cipher(reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
  std::string out(16, '\0');
  cipher.ProcessBlock(reinterpret_cast<const CryptoPP::byte*>(block.data()),
                      reinterpret_cast<CryptoPP::byte*>(&out[0]));
  return out;
}

std::string Pattern(std::size_t length) {
  std::string s;
  for (std::size_t i = 0; i < length; ++i) s.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
  return s;
}

const std::string kKey = "0123456789abcdef0123456789abcdef";

// Digest by Crypto++'s MD5 object, hex written by hand, to check the
// filter chain of DeriveKey independently.
std::string ReferenceKey(const std::string& text) {
  CryptoPP::Weak1::MD5 md5;
  CryptoPP::byte digest[CryptoPP::Weak1::MD5::DIGESTSIZE];
  md5.CalculateDigest(digest, reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
  std::string hex;
  for (CryptoPP::byte b : digest) {
    hex.push_back("0123456789abcdef"[b >> 4]);
    hex.push_back("0123456789abcdef"[b & 15]);
  }
  return hex;
}

}  // namespace

// The 256-bit cases of the Twofish authors' ECB table.
TEST(TwofishTest, PublishedVectors256) {
  struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
  } const vectors[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000", "00000000000000000000000000000000",
       "57FF739D4DC92C1BD7FC01700CC8216F"},
      {"D43BB7556EA32E46F2A282B7D45B4E0D57FF739D4DC92C1BD7FC01700CC8216F", "90AFE91BB288544F2C32DC239B2635E6",
       "6CB4561C40BF0A9705931CB6D408E7FA"},
  };
  for (const Vector& v : vectors) {
    const std::string key = FromHex(v.key);
    const std::string plain = FromHex(v.plain);
    const std::string cipher = TwofishEncrypt(key, plain);
    EXPECT_EQ(ToHex(cipher), v.cipher);
    EXPECT_EQ(ToHex(RawBlockEncrypt(key, plain)), v.cipher);  // second opinion
    bool complete = false;
    EXPECT_EQ(TwofishDecrypt(key, cipher, &complete), plain);
    EXPECT_TRUE(complete);
  }
}

TEST(TwofishTest, ZeroFillsThePartialLastBlockOnly) {
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 1000u}) {
    SCOPED_TRACE(length);
    const std::string plain = Pattern(length);
    const std::string cipher = TwofishEncrypt(kKey, plain);
    ASSERT_EQ(cipher.size(), (length + 15) / 16 * 16);

    std::string filled = plain;
    filled.append(cipher.size() - length, '\0');
    for (std::size_t at = 0; at < cipher.size(); at += 16) {
      // ECB: each block on its own, the fill being plain zero bytes.
      EXPECT_EQ(cipher.substr(at, 16), RawBlockEncrypt(kKey, filled.substr(at, 16))) << at;
    }
    // Decryption strips nothing: the fill comes back.
    bool complete = false;
    EXPECT_EQ(TwofishDecrypt(kKey, cipher, &complete), filled);
    EXPECT_TRUE(complete);
  }
}

TEST(TwofishTest, PartialLastCipherBlockKeepsTheCompleteBlocks) {
  const std::string plain = Pattern(5000);
  const std::string cipher = TwofishEncrypt(kKey, plain);
  for (std::size_t length : {1u, 8u, 15u, 17u, 31u, 33u, 47u, 4097u}) {
    SCOPED_TRACE(length);
    bool complete = true;
    const std::string got = TwofishDecrypt(kKey, cipher.substr(0, length), &complete);
    EXPECT_FALSE(complete);
    EXPECT_EQ(got, plain.substr(0, length / 16 * 16));
  }
  // Without the flag the result is the same.
  EXPECT_EQ(TwofishDecrypt(kKey, cipher.substr(0, 20)), plain.substr(0, 16));
}

TEST(TwofishTest, EmptyInputGivesEmptyOutput) {
  EXPECT_EQ(TwofishEncrypt(kKey, ""), "");
  bool complete = false;
  EXPECT_EQ(TwofishDecrypt(kKey, "", &complete), "");
  EXPECT_TRUE(complete);
}

TEST(TwofishTest, WrongKeyGivesOtherBytes) {
  const std::string plain = Pattern(64);
  const std::string cipher = TwofishEncrypt(kKey, plain);
  std::string other = kKey;
  other[0] = 'X';
  const std::string got = TwofishDecrypt(other, cipher);
  EXPECT_EQ(got.size(), plain.size());
  EXPECT_NE(got, plain);
}

TEST(TwofishTest, RejectedKeyLengthDoesNotThrow) {
  std::string encrypted = "unchanged";
  EXPECT_NO_THROW(encrypted = TwofishEncrypt("short", "sixteen bytes..."));
  EXPECT_EQ(encrypted, "");
  bool complete = true;
  std::string decrypted = "unchanged";
  EXPECT_NO_THROW(decrypted = TwofishDecrypt(std::string(33, 'k'), std::string(16, 'x'), &complete));
  EXPECT_EQ(decrypted, "");
  EXPECT_FALSE(complete);
}

TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Base64Encode(v.first), v.second);
    EXPECT_EQ(Base64Decode(v.second), v.first);
  }
  // "+" and "/" come from the standard alphabet, not the URL-safe one.
  EXPECT_EQ(Base64Encode(std::string("\xfb\xff", 2)), "+/8=");
}

TEST(Base64Test, LongInputIsOneLine) {
  const std::string text = Base64Encode(Pattern(10000));
  EXPECT_EQ(text.size(), (10000 + 2) / 3 * 4);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64Test, EveryByteValueRoundTrips) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all);
}

TEST(Base64Test, DecodingSkipsForeignBytesAndShortTail) {
  const std::pair<const char*, const char*> cases[] = {
      {"Zm9v\r\nYmFy", "foobar"},  // line breaks
      {"Zm9v YmFy\n", "foobar"},   // blanks
      {"Zm9v*YmFy", "foobar"},     // other bytes outside the alphabet
      {"Zm9vY", "foo"},            // a single trailing character gives no byte
      {"Y", ""},
      {"\r\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Decode(c.first), c.second) << c.first;
}

TEST(DeriveKeyTest, DeriveKeyKnownDigests) {
  // RFC 1321 test suite.
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
  };
  for (const auto& c : cases) EXPECT_EQ(DeriveKey(c.first), c.second) << c.first;
}

TEST(DeriveKeyTest, DeriveKeyTakesEveryByte) {
  std::string highBytes;
  for (int i = 0; i < 300; ++i) highBytes.push_back(static_cast<char>(0x80 + i % 128));
  const std::string values[] = {
      std::string(100, 'k'),                // longer than the key itself
      highBytes,                            // bytes outside ASCII
      std::string("key\0with\0zeros", 14),  // no terminator handling
      " padded ",                           // no trimming
  };
  for (const std::string& value : values) {
    const std::string key = DeriveKey(value);
    ASSERT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
    EXPECT_EQ(key, ReferenceKey(value));
    EXPECT_EQ(DeriveKey(value), key);
  }
  EXPECT_NE(DeriveKey(" padded "), DeriveKey("padded"));
}
