// Request decoding, free of sockets and of service state, so that it can be
// tested and fuzzed on its own.
//
// A request body is one form field "L=<value>": L is the key letter ("Z"
// unkeyed, "A"/"B"/"C" keyed) and value the URL-encoded Base64 text of the
// form (Z) or of its Twofish-ECB ciphertext under the letter's key. The form
// text is "k=v&k=v&...&". The client does not escape keys or values, so a
// value that holds "&" arrives split in two and cannot be recovered; the
// decoder reads what was sent and does not try to guess.
#pragma once

#include <map>
#include <string>

#include "tools/devserver/CipherKeys.h"

namespace devserver {

using FormFields = std::map<std::string, std::string>;

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
DecodeError DecodeRequest(const std::string& body, const CipherKeys& keys, DecodedRequest* out);

// Splits form text at "&" and each piece at its first "=". Keys must be
// non-empty and made of letters, digits, "_", "." or "-"; no control bytes
// may appear anywhere; an empty piece is allowed only as the last one. With
// `requireTrailingAmp` a non-empty text must end with "&", as the client
// always writes it: random bytes from a wrong key almost never pass that.
// A repeated key keeps its last value. Returns false when the text is not a
// form; `fields` is then left in an unspecified state.
bool ParseFormText(const std::string& text, bool requireTrailingAmp, FormFields* fields);

// True for standard-alphabet Base64 with "=" padding and a length that is a
// multiple of 4 (the empty text included).
bool IsPaddedBase64(const std::string& text);

}  // namespace devserver
