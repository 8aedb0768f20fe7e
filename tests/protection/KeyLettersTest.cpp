// Letter rotation, key items and key derivation. Rotation tests rely on a
// fresh counter: under ctest every test runs in its own process.
#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>
#include <gtest/gtest.h>

#include <string>

#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "support/ServiceSide.h"

namespace {

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

TEST(KeyLettersTest, RotationStartsAtAAndWraps) {
  const char* expected[] = {"A", "B", "C", "A", "B", "C", "A"};
  for (const char* letter : expected) EXPECT_EQ(NextKeyLetter(), letter);
}

TEST(KeyLettersTest, UnkeyedEncodingsUseUpLetters) {
  const int modes[] = {1, 2, 1, 2};
  const char* letters[] = {"Z", "B", "Z", "A"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(EncodeBody("x=1&", modes[i]).substr(0, 1), letters[i]) << i;
}

TEST(KeyLettersTest, KeyedUnkeyedKeyedUsesAThenC) {
  const int modes[] = {2, 1, 2};
  const char* letters[] = {"A", "Z", "C"};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(EncodeBody("", modes[i]).substr(0, 2), std::string(letters[i]) + "=");
}

TEST(KeyLettersTest, ReadKeyItemReadsTheLettersItem) {
  GlobalCache& cache = GlobalCache::Instance();
  EXPECT_EQ(ReadKeyItem("A"), "");
  cache.SetConfigItem("GC_CIPER_A", "first");
  cache.SetConfigItem("GC_CIPER_B", std::string("se\0cond\xff", 8));
  cache.SetConfigItem("GC_CIPER_[", "bracket");
  EXPECT_EQ(ReadKeyItem("A"), "first");
  EXPECT_EQ(ReadKeyItem("B"), std::string("se\0cond\xff", 8));
  EXPECT_EQ(ReadKeyItem("C"), "");
  EXPECT_EQ(ReadKeyItem("["), "bracket");
  EXPECT_EQ(ReadKeyItem("a"), "");  // letters are case-sensitive
}

TEST(KeyLettersTest, DeriveKeyKnownDigests) {
  // RFC 1321 test suite.
  const std::pair<const char*, const char*> cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
  };
  for (const auto& c : cases) EXPECT_EQ(DeriveKey(c.first), c.second) << c.first;
}

TEST(KeyLettersTest, DeriveKeyTakesEveryByte) {
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

// Read back the way the service reads bodies, under the keys given.
TEST(KeyLettersTest, FirstKeyedEncodingUsesItemA) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "alpha");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "beta");
  const std::string body = EncodeBody("user=bob&", 2);
  ASSERT_EQ(body.substr(0, 2), "A=");
  const testsupport::SentRequest sent = testsupport::ReadRequest(body, {"alpha", "beta", ""});
  ASSERT_TRUE(sent.decoded());
  EXPECT_FALSE(sent.emptyKey);
  EXPECT_EQ(sent.fields, testsupport::Fields("user=bob&"));
  EXPECT_FALSE(testsupport::ReadRequest(body, {"beta", "alpha", ""}).decoded());
}

TEST(KeyLettersTest, MissingKeyEncryptsUnderKeyOfEmptyText) {
  const std::string body = EncodeBody("lang=en&", 2);
  ASSERT_EQ(body.substr(0, 2), "A=");
  const testsupport::SentRequest sent = testsupport::ReadRequest(body, {"a key it did not use", "", ""});
  ASSERT_TRUE(sent.decoded());
  EXPECT_TRUE(sent.emptyKey);
  EXPECT_EQ(sent.fields, testsupport::Fields("lang=en&"));
}
