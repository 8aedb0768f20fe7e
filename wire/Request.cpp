#include "wire/Request.h"

#include "hostlib/quillon.h"
#include "wire/Cipher.h"
#include "wire/Vocabulary.h"

namespace wire {

namespace {

constexpr std::size_t kBlockSize = 16;

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::string StripZeroFill(std::string text) {
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Decrypts under DeriveKey(item) and parses; false when the result is no form.
bool TryKey(const std::string& cipher, const std::string& item, FormFields* fields) {
  const std::string plain = StripZeroFill(TwofishDecrypt(DeriveKey(item), cipher));
  fields->clear();
  return ParseFormText(plain, true, fields);
}

}  // namespace

const std::string* KeyItems::ForLetter(char letter) const {
  switch (letter) {
    case 'A':
      return &m1;
    case 'B':
      return &m2;
    case 'C':
      return &m3;
    default:
      return nullptr;
  }
}

std::string EncodeRequest(const std::string& form, char letter, const std::string& keyItem) {
  const bool unkeyed = letter == protocol::kUnkeyedLetter[0];
  const std::string escaped =
      QUILLON::URLEncode(Base64Encode(unkeyed ? form : TwofishEncrypt(DeriveKey(keyItem), form)));
  std::string body;
  body.reserve(2 + escaped.size());
  body.append(1, letter).append("=").append(escaped);
  return body;
}

const char* DescribeDecodeError(DecodeError error) {
  switch (error) {
    case DecodeError::kNone:
      return "ok";
    case DecodeError::kNotOneField:
      return "body is not one form field L=<value>";
    case DecodeError::kBadLetter:
      return "unknown body letter";
    case DecodeError::kBadBase64:
      return "body value is not Base64";
    case DecodeError::kBadBlockLength:
      return "keyed body is not a whole number of cipher blocks";
    case DecodeError::kNotAForm:
      return "body does not decode to a form";
  }
  return "unknown error";
}

bool IsPaddedBase64(const std::string& text) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  for (std::size_t i = 0; i + padding < text.size(); ++i) {
    if (!IsBase64Char(text[i])) return false;
  }
  return true;
}

DecodeError DecodeRequest(const std::string& body, const KeyItems& keys, DecodedRequest* out) {
  if (body.size() < 2 || body[1] != '=' || body.find('&') != std::string::npos) {
    return DecodeError::kNotOneField;
  }
  const char letter = body[0];
  const std::string* item = keys.ForLetter(letter);
  if (letter != 'Z' && item == nullptr) return DecodeError::kBadLetter;

  const std::string base64 = QUILLON::URLDecode(body.substr(2));
  if (!IsPaddedBase64(base64)) return DecodeError::kBadBase64;
  const std::string payload = Base64Decode(base64);

  out->letter = letter;
  out->emptyKey = false;
  out->fields.clear();
  if (letter == 'Z') {
    // Hand-written test requests often lack the final "&"; tolerate that
    // where no key guessing depends on it.
    return ParseFormText(payload, false, &out->fields) ? DecodeError::kNone : DecodeError::kNotAForm;
  }
  if (payload.size() % kBlockSize != 0) return DecodeError::kBadBlockLength;
  if (TryKey(payload, *item, &out->fields)) return DecodeError::kNone;
  if (TryKey(payload, std::string(), &out->fields)) {
    out->emptyKey = true;
    return DecodeError::kNone;
  }
  return DecodeError::kNotAForm;
}

}  // namespace wire
