// The account service's side of the wire, done the way the reference
// service (tools/devserver) does it, with the shared codec (wire/): replies
// framed by its encoder, request bodies read by its decoder, bzip2 by its
// compressor. What the client adds (protection/BodyCodec: letter rotation,
// configured keys) is what these check, so none of it is used here.
#pragma once

#include <cstddef>
#include <limits>
#include <string>

#include "support/ScriptedServer.h"
#include "wire/Form.h"
#include "wire/Request.h"

namespace testsupport {

// "Z=" and the Base64 of `text`.
std::string UnkeyedReply(const std::string& text);
// `letter` "=" and the Base64 of `text` under the key derived from `keyItem`.
std::string KeyedReply(char letter, const std::string& keyItem, const std::string& text);
// As the service sends a long reply: "YYY=" and bzip2 of `text`, whatever
// its length, then framed under `letter` (and `keyItem` unless 'Z').
std::string CompressedReply(const std::string& text, char letter = 'Z', const std::string& keyItem = "");
// bzip2 of `data` (a test failure when libbz2 fails).
std::string Bzip2(const std::string& data);

// The key items the client holds now ("GC_CIPER_A" to "C"), as the service
// that pushed them knows them.
wire::KeyItems ClientKeys();

// A request as the service reads it.
struct SentRequest {
  std::string path;  // the request target
  wire::DecodeError error = wire::DecodeError::kNotOneField;
  char letter = 0;
  bool emptyKey = false;  // readable only under the key of the empty text
  wire::FormFields fields;

  bool decoded() const { return error == wire::DecodeError::kNone; }
  // The field's value; "<absent>" when it was not sent.
  std::string Field(const std::string& key) const;
};

// Reads `body` under `keys` (by default the client's).
SentRequest ReadRequest(const std::string& body, const wire::KeyItems& keys = ClientKeys());
SentRequest ReadRequest(const RecordedRequest& request);

// The fields of form text "k=v&k=v&": what a test expects a request to hold.
wire::FormFields Fields(const std::string& formText);

}  // namespace testsupport
