// Request bodies: framing, letters, Base64, keys and form text, both ways.
#include <gtest/gtest.h>

#include <string>

#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "wire/Cipher.h"
#include "wire/Request.h"

namespace {

using wire::DecodedRequest;
using wire::DecodeError;
using wire::DecodeRequest;

// Fixed keys, so that the cases can encrypt requests on their own.
const wire::KeyItems kKeys = {"first-key-item-0001", "second-key-item-0002", "third-key-item-0003"};

wire::KeyItems TestKeys() { return kKeys; }

// The POST body for `form` under `letter`, built from the primitives alone:
// 'Z' unkeyed, otherwise keyed under the key derived from `keyItem`.
std::string RequestBody(const std::string& form, char letter, const std::string& keyItem = "") {
  const std::string payload = letter == 'Z' ? form : TwofishEncrypt(DeriveKey(keyItem), form);
  return std::string(1, letter) + "=" + QUILLON::URLEncode(Base64Encode(payload));
}

const std::string kForm = "agent=x1&lang=en&username=bob&vpnserverid=12&";

struct DecodeCase {
  const char* name;
  std::string body;
  DecodeError error;
  char letter;
  bool emptyKey;
};

TEST(RequestTest, DecodesEveryFramingAndRejectsBadOnes) {
  const wire::KeyItems keys = TestKeys();
  const std::string tenBytes(10, 'x');  // not a whole cipher block
  const DecodeCase cases[] = {
      {"unkeyed", RequestBody(kForm, 'Z'), DecodeError::kNone, 'Z', false},
      {"key A", RequestBody(kForm, 'A', keys.m1), DecodeError::kNone, 'A', false},
      {"key B", RequestBody(kForm, 'B', keys.m2), DecodeError::kNone, 'B', false},
      {"key C", RequestBody(kForm, 'C', keys.m3), DecodeError::kNone, 'C', false},
      {"empty key under A", RequestBody(kForm, 'A', ""), DecodeError::kNone, 'A', true},
      {"empty key under C", RequestBody(kForm, 'C', ""), DecodeError::kNone, 'C', true},
      {"key of another letter", RequestBody(kForm, 'A', keys.m2), DecodeError::kNotAForm, 0, false},
      {"foreign key", RequestBody(kForm, 'B', "not-our-key"), DecodeError::kNotAForm, 0, false},
      {"lower-case letter", "a=" + RequestBody(kForm, 'Z').substr(2), DecodeError::kBadLetter, 0, false},
      {"unknown letter", "Q=YWJj", DecodeError::kBadLetter, 0, false},
      {"empty body", "", DecodeError::kNotOneField, 0, false},
      {"letter only", "Z", DecodeError::kNotOneField, 0, false},
      {"no separator", "ZYWJj", DecodeError::kNotOneField, 0, false},
      {"two fields", RequestBody(kForm, 'Z') + "&x=1", DecodeError::kNotOneField, 0, false},
      {"short Base64", "Z=YWJ", DecodeError::kBadBase64, 0, false},
      {"Base64 with foreign byte", "Z=YW$j", DecodeError::kBadBase64, 0, false},
      {"too much padding", "Z=%3D%3D%3D%3D", DecodeError::kBadBase64, 0, false},
      {"cipher not whole blocks", "A=" + QUILLON::URLEncode(Base64Encode(tenBytes)),
       DecodeError::kBadBlockLength, 0, false},
      {"plain text, not a form", "Z=" + Base64Encode("hello world"), DecodeError::kNotAForm, 0, false},
      {"empty key name", "Z=" + QUILLON::URLEncode(Base64Encode("=v&")), DecodeError::kNotAForm, 0, false},
      {"control byte", "Z=" + QUILLON::URLEncode(Base64Encode("a=b\nc&")), DecodeError::kNotAForm, 0, false},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedRequest request;
    const DecodeError error = DecodeRequest(c.body, keys, &request);
    EXPECT_EQ(error, c.error) << wire::DescribeDecodeError(error);
    if (c.error != DecodeError::kNone || error != DecodeError::kNone) continue;
    EXPECT_EQ(request.letter, c.letter);
    EXPECT_EQ(request.emptyKey, c.emptyKey);
    const wire::FormFields expected = {
        {"agent", "x1"}, {"lang", "en"}, {"username", "bob"}, {"vpnserverid", "12"}};
    EXPECT_EQ(request.fields, expected);
  }
}

TEST(RequestTest, UrlEncodedBase64AndRawBytesSurvive) {
  // '>' and '?' make Base64 emit '+' and '/', which the client escapes; a
  // value may hold spaces, '=' and 8-bit bytes.
  const std::string form = "memo=>>>???&name=caf\xc3\xa9 a=b&";
  const std::string base64 = Base64Encode(form);
  ASSERT_NE(base64.find_first_of("+/="), std::string::npos);
  const std::string body = "Z=" + QUILLON::URLEncode(base64);
  ASSERT_NE(body.find('%'), std::string::npos);

  DecodedRequest request;
  ASSERT_EQ(DecodeRequest(body, TestKeys(), &request), DecodeError::kNone);
  EXPECT_EQ(request.fields.at("memo"), ">>>???");
  EXPECT_EQ(request.fields.at("name"), "caf\xc3\xa9 a=b");

  // Unescaped, the '+' turns into a space on URL decoding: not Base64 then.
  EXPECT_EQ(DecodeRequest("Z=" + base64, TestKeys(), &request), DecodeError::kBadBase64);
}

TEST(RequestTest, KeyedBodiesMayCarryEveryBlockLength) {
  const wire::KeyItems keys = TestKeys();
  // 15, 16 and 17 bytes of form: zero fill from none up to 15 bytes.
  for (const std::string& form : {std::string("a=123456789012&"), std::string("a=1234567890123&"),
                                  std::string("a=12345678901234&"), std::string()}) {
    SCOPED_TRACE(form.size());
    DecodedRequest request;
    ASSERT_EQ(DecodeRequest(RequestBody(form, 'B', keys.m2), keys, &request), DecodeError::kNone);
    EXPECT_FALSE(request.emptyKey);
    if (!form.empty()) {
      EXPECT_EQ("a=" + request.fields.at("a") + "&", form);
    }
  }
}

TEST(RequestTest, TheClientsOwnEncoderIsUnderstood) {
  const wire::KeyItems keys = TestKeys();
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", keys.m1);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", keys.m2);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", keys.m3);
  // The client rotates letters A, B, C; mode 1 still uses one up.
  for (int mode : {2, 2, 2, 1}) {
    const std::string body = EncodeBody(kForm, mode);
    DecodedRequest request;
    ASSERT_EQ(DecodeRequest(body, keys, &request), DecodeError::kNone) << body;
    EXPECT_EQ(request.letter, body[0]);
    EXPECT_FALSE(request.emptyKey);
    EXPECT_EQ(request.fields.at("vpnserverid"), "12");
  }
}

TEST(RequestTest, EncodesAsTheFramingSays) {
  const struct {
    const char* form;
    char letter;
    std::string keyItem;
  } cases[] = {
      {"abc", 'Z', "ignored"},
      {"", 'Z', ""},
      {"", 'A', kKeys.m1},
      {"user=bob&", 'A', kKeys.m1},
      {"\xfb\xff agent=x1&", 'C', kKeys.m3},
      {"lang=en&", 'B', ""},
  };
  EXPECT_EQ(wire::EncodeRequest("abc", 'Z', "ignored"), "Z=YWJj");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.form);
    EXPECT_EQ(wire::EncodeRequest(c.form, c.letter, c.keyItem), RequestBody(c.form, c.letter, c.keyItem));
  }
}

TEST(RequestTest, PaddedBase64Check) {
  EXPECT_TRUE(wire::IsPaddedBase64(""));
  EXPECT_TRUE(wire::IsPaddedBase64("YWJj"));
  EXPECT_TRUE(wire::IsPaddedBase64("YWI="));
  EXPECT_TRUE(wire::IsPaddedBase64("YQ=="));
  EXPECT_TRUE(wire::IsPaddedBase64("+/+/"));
  EXPECT_FALSE(wire::IsPaddedBase64("YQ="));
  EXPECT_FALSE(wire::IsPaddedBase64("Y==="));
  EXPECT_FALSE(wire::IsPaddedBase64("Y=Jj"));
  EXPECT_FALSE(wire::IsPaddedBase64("YW J"));
  EXPECT_FALSE(wire::IsPaddedBase64("YWJ-"));
}

}  // namespace
