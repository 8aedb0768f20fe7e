#include "support/ServiceSide.h"

#include <gtest/gtest.h>

#include "hostlib/quillon.h"
#include "wire/Bzip2.h"
#include "wire/Reply.h"

namespace testsupport {

namespace {

constexpr std::size_t kNeverCompress = std::numeric_limits<std::size_t>::max();

std::string ConfigItem(const char* name) {
  std::string value;
  GlobalCache::Instance().GetConfigItem(name, value);
  return value;
}

}  // namespace

std::string UnkeyedReply(const std::string& text) { return wire::EncodeReply(text, 'Z', "", kNeverCompress); }

std::string KeyedReply(char letter, const std::string& keyItem, const std::string& text) {
  return wire::EncodeReply(text, letter, keyItem, kNeverCompress);
}

std::string CompressedReply(const std::string& text, char letter, const std::string& keyItem) {
  return wire::EncodeReply(text, letter, keyItem, 0);
}

std::string Bzip2(const std::string& data) {
  std::string packed;
  EXPECT_TRUE(wire::Bzip2Compress(data, &packed)) << data.size() << " bytes";
  return packed;
}

wire::KeyItems ClientKeys() {
  wire::KeyItems keys;
  keys.m1 = ConfigItem("GC_CIPER_A");
  keys.m2 = ConfigItem("GC_CIPER_B");
  keys.m3 = ConfigItem("GC_CIPER_C");
  return keys;
}

std::string SentRequest::Field(const std::string& key) const {
  const auto found = fields.find(key);
  return found == fields.end() ? std::string("<absent>") : found->second;
}

SentRequest ReadRequest(const std::string& body, const wire::KeyItems& keys) {
  wire::DecodedRequest decoded;
  SentRequest sent;
  sent.error = wire::DecodeRequest(body, keys, &decoded);
  if (sent.decoded()) {
    sent.letter = decoded.letter;
    sent.emptyKey = decoded.emptyKey;
    sent.fields = std::move(decoded.fields);
  }
  return sent;
}

SentRequest ReadRequest(const RecordedRequest& request) {
  SentRequest sent = ReadRequest(request.body);
  sent.path = request.target;
  return sent;
}

wire::FormFields Fields(const std::string& formText) {
  wire::FormFields fields;
  EXPECT_TRUE(wire::ParseFormText(formText, false, &fields)) << formText;
  return fields;
}

}  // namespace testsupport
