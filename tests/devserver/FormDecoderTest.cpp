// Request decoding: framing, letters, Base64, keys and form text.
#include <gtest/gtest.h>

#include "devserver/DevserverTestUtil.h"
#include "tools/devserver/FormDecoder.h"

namespace {

using devserver::DecodedRequest;
using devserver::DecodeError;
using devserver::DecodeRequest;
using devserver_test::RequestBody;
using devserver_test::TestKeys;

const std::string kForm = "agent=x1&lang=en&username=bob&vpnserverid=12&";

struct DecodeCase {
  const char* name;
  std::string body;
  DecodeError error;
  char letter;
  bool emptyKey;
};

TEST(FormDecoderTest, DecodesEveryFramingAndRejectsBadOnes) {
  const devserver::CipherKeys keys = TestKeys();
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
    EXPECT_EQ(error, c.error) << devserver::DescribeDecodeError(error);
    if (c.error != DecodeError::kNone || error != DecodeError::kNone) continue;
    EXPECT_EQ(request.letter, c.letter);
    EXPECT_EQ(request.emptyKey, c.emptyKey);
    const devserver::FormFields expected = {
        {"agent", "x1"}, {"lang", "en"}, {"username", "bob"}, {"vpnserverid", "12"}};
    EXPECT_EQ(request.fields, expected);
  }
}

TEST(FormDecoderTest, UrlEncodedBase64AndRawBytesSurvive) {
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

TEST(FormDecoderTest, KeyedBodiesMayCarryEveryBlockLength) {
  const devserver::CipherKeys keys = TestKeys();
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

TEST(FormDecoderTest, TheClientsOwnEncoderIsUnderstood) {
  const devserver::CipherKeys keys = TestKeys();
  devserver_test::InstallClientKeys(keys);
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

struct FormCase {
  const char* text;
  bool trailingAmpRequired;
  bool ok;
  devserver::FormFields fields;
};

TEST(FormDecoderTest, FormTextRules) {
  const FormCase cases[] = {
      {"", true, true, {}},
      {"a=1&", true, true, {{"a", "1"}}},
      {"a=1", true, false, {}},
      {"a=1", false, true, {{"a", "1"}}},
      {"a=&b=2&", true, true, {{"a", ""}, {"b", "2"}}},
      {"a=x=y&", true, true, {{"a", "x=y"}}},
      {"a=1&a=2&", true, true, {{"a", "2"}}},
      {"a=1&&b=2&", true, false, {}},
      {"&", true, false, {}},
      {"a&", true, false, {}},
      {"=1&", true, false, {}},
      {"a b=1&", true, false, {}},
      {"k.e_y-9=v&", true, true, {{"k.e_y-9", "v"}}},
      {"a=\x7f&", true, false, {}},
  };
  for (const FormCase& c : cases) {
    SCOPED_TRACE(c.text);
    devserver::FormFields fields;
    EXPECT_EQ(devserver::ParseFormText(c.text, c.trailingAmpRequired, &fields), c.ok);
    if (c.ok) {
      EXPECT_EQ(fields, c.fields);
    }
  }
}

TEST(FormDecoderTest, PaddedBase64Check) {
  EXPECT_TRUE(devserver::IsPaddedBase64(""));
  EXPECT_TRUE(devserver::IsPaddedBase64("YWJj"));
  EXPECT_TRUE(devserver::IsPaddedBase64("YWI="));
  EXPECT_TRUE(devserver::IsPaddedBase64("YQ=="));
  EXPECT_TRUE(devserver::IsPaddedBase64("+/+/"));
  EXPECT_FALSE(devserver::IsPaddedBase64("YQ="));
  EXPECT_FALSE(devserver::IsPaddedBase64("Y==="));
  EXPECT_FALSE(devserver::IsPaddedBase64("Y=Jj"));
  EXPECT_FALSE(devserver::IsPaddedBase64("YW J"));
  EXPECT_FALSE(devserver::IsPaddedBase64("YWJ-"));
}

}  // namespace
