// Request bodies in both directions, free of sockets, configuration and
// process state: the caller passes the letter and the key items.
//
// A request body is one form field "L=<value>": L is the key letter ("Z"
// unkeyed, "A"/"B"/"C" keyed) and value the URL-encoded Base64 text of the
// form (Z) or of its Twofish-ECB ciphertext under the letter's key. The
// client does not escape keys or values, so a value that holds "&" arrives
// split in two and cannot be recovered; the decoder reads what was sent and
// does not try to guess.
#pragma once

#include <string>

#include "wire/Form.h"

namespace wire {

// The three key items the service hands out as "m1", "m2" and "m3"; the
// client stores them as the keys of the letters "A", "B" and "C".
struct KeyItems {
  std::string m1;
  std::string m2;
  std::string m3;

  // Key item for a body letter; null for "Z" and any other byte.
  const std::string* ForLetter(char letter) const;
};

// The body for `form` under `letter`: 'Z' unkeyed (ignoring `keyItem`),
// any other letter encrypted under DeriveKey(keyItem).
std::string EncodeRequest(const std::string& form, char letter, const std::string& keyItem);

enum class DecodeError {
  kNone,
  kNotOneField,     // not "L=<value>" with a single field
  kBadLetter,       // letter other than Z, A, B, C
  kBadBase64,       // value is not padded standard Base64 after URL decoding
  kBadBlockLength,  // keyed payload is not a whole number of cipher blocks
  kNotAForm,        // the plain text (under every key tried) is not a form
};

const char* DescribeDecodeError(DecodeError error);

struct DecodedRequest {
  char letter = 0;
  // A keyed body that only decrypted under the key derived from the empty
  // text: the client has no keys yet.
  bool emptyKey = false;
  FormFields fields;
};

// Decodes `body`. Keyed bodies are tried under the letter's key item first
// and then under the empty text; the trailing zero bytes that fill the last
// cipher block are removed. On error `out` is left in an unspecified state.
DecodeError DecodeRequest(const std::string& body, const KeyItems& keys, DecodedRequest* out);

// True for standard-alphabet Base64 with "=" padding and a length that is a
// multiple of 4 (the empty text included).
bool IsPaddedBase64(const std::string& text);

}  // namespace wire
