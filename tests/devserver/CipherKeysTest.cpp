// The three key items the service hands out.
#include <gtest/gtest.h>

#include <string>

#include "tools/devserver/CipherKeys.h"

namespace {

TEST(CipherKeysTest, ParseAndRandom) {
  devserver::CipherKeys keys;
  std::string error;
  ASSERT_TRUE(devserver::CipherKeys::Parse("k1,k 2,k3", &keys, &error)) << error;
  EXPECT_EQ(keys.m2, "k 2");
  EXPECT_EQ(*keys.ForLetter('C'), "k3");
  EXPECT_EQ(keys.ForLetter('Z'), nullptr);
  EXPECT_EQ(keys.ForLetter('a'), nullptr);
  for (const char* bad : {"", "a,b", "a,b,c,d", "a,,c", "a,b,", "a,b\n,c"}) {
    EXPECT_FALSE(devserver::CipherKeys::Parse(bad, &keys, &error)) << bad;
  }
  const devserver::CipherKeys one = devserver::CipherKeys::Random();
  const devserver::CipherKeys two = devserver::CipherKeys::Random();
  EXPECT_EQ(one.m1.size(), 24u);
  EXPECT_NE(one.m1, one.m2);
  EXPECT_NE(one.m1, two.m1);
}

}  // namespace
