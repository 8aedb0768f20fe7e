// Reply framing and compression in both directions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostlib/quillon.h"
#include "wire/Bzip2.h"
#include "wire/Cipher.h"
#include "wire/Reply.h"
#include "wire/Request.h"

namespace {

using wire::DecodeReply;
using wire::EncodeReply;

const wire::KeyItems kKeys = {"first-key-item-0001", "second-key-item-0002", "third-key-item-0003"};

std::string KeyItemOf(char letter) {
  const std::string* item = kKeys.ForLetter(letter);
  return item != nullptr ? *item : std::string();
}

std::string Decode(const std::string& reply) {
  return DecodeReply(reply.data(), reply.size(), KeyItemOf, std::function<bool()>());
}

std::string StripZeroFill(std::string text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Profile text of about `bytes` bytes in one section.
std::string LongProfile(std::size_t bytes) {
  std::string text = "result=0\nerrdesc=\n[Europe]\n";
  for (int i = 0; text.size() < bytes; ++i) {
    text += std::to_string(1000 + i) + "=server " + std::to_string(i) + ",host.example.net,1,X\n";
  }
  return text;
}

// The payload bytes after the letter, decrypted when keyed.
std::string Payload(const std::string& reply, const std::string& keyItem) {
  const std::string bytes = Base64Decode(reply.substr(2));
  return reply[0] == 'Z' ? bytes : TwofishDecrypt(DeriveKey(keyItem), bytes);
}

TEST(ReplyTest, RoundTripsForEveryLetter) {
  const std::string shortText = "result=0\nerrdesc=\nmagic=00ff\n";
  const std::string longText = LongProfile(20000);
  struct Case {
    char letter;
    const std::string* item;
  };
  const std::string none;
  const Case cases[] = {{'Z', &none}, {'A', &kKeys.m1}, {'B', &kKeys.m2}, {'C', &kKeys.m3}};
  for (const Case& c : cases) {
    for (const std::string* text : {&shortText, &longText}) {
      SCOPED_TRACE(std::string(1, c.letter) + " " + std::to_string(text->size()));
      const std::string reply = EncodeReply(*text, c.letter, *c.item, 4096);
      ASSERT_GE(reply.size(), 2u);
      EXPECT_EQ(reply[0], c.letter);
      EXPECT_EQ(reply[1], '=');
      EXPECT_EQ(reply.find_first_of("\r\n"), std::string::npos) << "reply must be one line";
      const bool compressed = text->size() > 4096;
      EXPECT_EQ(Payload(reply, *c.item).compare(0, 4, "YYY=") == 0, compressed);
      // Keyed, uncompressed replies keep the cipher block's zero fill.
      const std::string decoded = Decode(reply);
      EXPECT_EQ(StripZeroFill(decoded), *text);
      CProfileFile profile;
      EXPECT_TRUE(profile.Load(decoded));
    }
  }
}

TEST(ReplyTest, CompressesOnlyAboveTheThreshold) {
  const std::string text = LongProfile(300);
  for (std::size_t threshold : {text.size() - 1, text.size(), text.size() + 1, std::size_t{0}}) {
    SCOPED_TRACE(threshold);
    const std::string reply = EncodeReply(text, 'Z', "", threshold);
    const bool compressed = Payload(reply, "").compare(0, 4, "YYY=") == 0;
    EXPECT_EQ(compressed, text.size() > threshold);
    EXPECT_EQ(Decode(reply), text);
  }
}

// The caller's lookup is the only source of keys: asked once per keyed
// reply, for its letter; an empty answer hands the reply on unchanged.
TEST(ReplyTest, DecodingAsksTheCallerForTheLettersKey) {
  const struct {
    std::string reply;
    char asked;  // 0: not asked
    std::string expected;
  } cases[] = {
      {EncodeReply("result=0\n", 'Z', "", 4096), 0, "result=0\n"},
      {EncodeReply("result=0\n", 'B', kKeys.m2, 4096), 'B', std::string("result=0\n") + std::string(7, '\0')},
      {"<html>502</html>", '<', "<html>502</html>"},
      {"Q=YWJj", 'Q', "Q=YWJj"},
      {"A=", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    std::vector<char> asked;
    const wire::KeyItemLookup lookup = [&](char letter) {
      asked.push_back(letter);
      return KeyItemOf(letter);
    };
    EXPECT_EQ(DecodeReply(c.reply.data(), c.reply.size(), lookup, std::function<bool()>()), c.expected);
    EXPECT_EQ(asked, c.asked == 0 ? std::vector<char>() : std::vector<char>{c.asked});
  }
}

TEST(ReplyTest, StopEndsDecodingWithEmptyText) {
  const std::string longText = LongProfile(20000);
  for (const std::string& reply :
       {EncodeReply(longText, 'Z', "", 0), EncodeReply(longText, 'C', kKeys.m3, 0)}) {
    EXPECT_EQ(DecodeReply(reply.data(), reply.size(), KeyItemOf, [] { return true; }), "");
    EXPECT_EQ(DecodeReply(reply.data(), reply.size(), KeyItemOf, [] { return false; }), longText);
  }
}

}  // namespace
