// Reply framing and compression, read back through the client's DecodeBody
// and profile parser.
#include <bzlib.h>
#include <gtest/gtest.h>

#include "devserver/DevserverTestUtil.h"
#include "tools/devserver/Compression.h"
#include "tools/devserver/ProfileText.h"
#include "tools/devserver/ReplyEncoder.h"

namespace {

using devserver::EncodeReply;
using devserver_test::InstallClientKeys;
using devserver_test::ReadAsClient;
using devserver_test::TestKeys;

std::string StripZeroFill(std::string text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Profile text of about `bytes` bytes in one section.
std::string LongProfile(std::size_t bytes) {
  devserver::ProfileText text(0, "");
  text.BeginSection("Europe");
  for (int i = 0; text.text().size() < bytes; ++i) {
    text.AddItem(std::to_string(1000 + i), "server " + std::to_string(i) + ",host.example.net,1,X");
  }
  return text.text();
}

// The payload bytes after the letter, decrypted when keyed.
std::string Payload(const std::string& reply, const std::string& keyItem) {
  const std::string bytes = Base64Decode(reply.substr(2));
  return reply[0] == 'Z' ? bytes : TwofishDecrypt(DeriveKey(keyItem), bytes);
}

TEST(ReplyEncoderTest, RoundTripsThroughTheClientForEveryLetter) {
  const devserver::CipherKeys keys = TestKeys();
  InstallClientKeys(keys);
  const std::string shortText = "result=0\nerrdesc=\nmagic=00ff\n";
  const std::string longText = LongProfile(20000);
  struct Case {
    char letter;
    const std::string* item;
  };
  const std::string none;
  const Case cases[] = {{'Z', &none}, {'A', &keys.m1}, {'B', &keys.m2}, {'C', &keys.m3}};
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
      EXPECT_EQ(StripZeroFill(DecodeBody(reply)), *text);
      EXPECT_TRUE(ReadAsClient(reply).parsed);
    }
  }
}

TEST(ReplyEncoderTest, CompressesOnlyAboveTheThreshold) {
  const std::string text = LongProfile(300);
  for (std::size_t threshold : {text.size() - 1, text.size(), text.size() + 1, std::size_t{0}}) {
    SCOPED_TRACE(threshold);
    const std::string reply = EncodeReply(text, 'Z', "", threshold);
    const bool compressed = Payload(reply, "").compare(0, 4, "YYY=") == 0;
    EXPECT_EQ(compressed, text.size() > threshold);
    EXPECT_EQ(DecodeBody(reply), text);
  }
}

std::string Bunzip2(const std::string& packed, std::size_t expectedSize) {
  std::string out(expectedSize + 1, '\0');
  unsigned int length = static_cast<unsigned int>(out.size());
  const int rc = BZ2_bzBuffToBuffDecompress(&out[0], &length, const_cast<char*>(packed.data()),
                                            static_cast<unsigned int>(packed.size()), 0, 0);
  if (rc != BZ_OK) return "<bzip2 error " + std::to_string(rc) + ">";
  out.resize(length);
  return out;
}

TEST(ReplyEncoderTest, Bzip2RoundTrip) {
  std::string noisy;
  for (int i = 0; i < 50000; ++i) noisy.push_back(static_cast<char>((i * 7919 + i / 13) & 0xff));
  for (const std::string& data : {std::string(), std::string("a"), std::string(100000, 'z'), noisy}) {
    SCOPED_TRACE(data.size());
    std::string packed;
    ASSERT_TRUE(devserver::Bzip2Compress(data, &packed));
    EXPECT_EQ(packed.compare(0, 3, "BZh"), 0);
    EXPECT_EQ(Bunzip2(packed, data.size()), data);
  }
}

}  // namespace
