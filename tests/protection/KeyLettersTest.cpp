// Letter rotation and key items. Rotation tests rely on a
// fresh counter: under ctest every test runs in its own process.
#include <gtest/gtest.h>

#include <string>

#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "protection/KeyLetters.h"
#include "support/ServiceSide.h"

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
