#include "protection/BodyCodec.h"

#include "protection/KeyLetters.h"
#include "wire/Reply.h"
#include "wire/Request.h"
#include "wire/Vocabulary.h"

namespace {

std::string KeyItemOfLetter(char letter) { return ReadKeyItem(std::string(1, letter)); }

}  // namespace

std::string EncodeBody(const std::string& plainForm, int mode) {
  // Every encoding moves the rotation on, also the unkeyed ones.
  const std::string letter = NextKeyLetter();
  if (mode == 1) return wire::EncodeRequest(plainForm, protocol::kUnkeyedLetter[0], std::string());
  // No configured key still encrypts, under the key of the empty text.
  return wire::EncodeRequest(plainForm, letter[0], ReadKeyItem(letter));
}

std::string DecodeBody(const std::string& reply) { return DecodeBody(reply.data(), reply.size()); }

std::string DecodeBody(const char* reply, std::size_t length) {
  return DecodeBody(reply, length, std::function<bool()>());
}

std::string DecodeBody(const char* reply, std::size_t length, const std::function<bool()>& stop) {
  // The keys are read afresh for every reply: a GetUserInfo may have changed them.
  return wire::DecodeReply(reply, length, KeyItemOfLetter, stop);
}
