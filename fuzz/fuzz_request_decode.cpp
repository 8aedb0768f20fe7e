// The reference service's request decoding on arbitrary bodies, and on the
// bodies a client would build from arbitrary form text: every form that the
// service accepts as text travels through both framings unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"
#include "protection/Cipher.h"
#include "protection/KeyLetters.h"
#include "tools/devserver/CipherKeys.h"
#include "tools/devserver/FormDecoder.h"

namespace {

const devserver::CipherKeys& Keys() {
  static const devserver::CipherKeys keys{"fuzz-key-item-a", "fuzz-key-item-b", "fuzz-key-item-c"};
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  devserver::DecodedRequest decoded;
  const devserver::DecodeError error = devserver::DecodeRequest(input, Keys(), &decoded);
  FUZZ_CHECK(devserver::DescribeDecodeError(error) != nullptr);
  if (error == devserver::DecodeError::kNone) {
    FUZZ_CHECK(input.size() >= 2 && input[1] == '=');
    FUZZ_CHECK(decoded.letter == input[0]);
  }

  devserver::FormFields fields;
  if (!devserver::ParseFormText(input, true, &fields)) return 0;
  const std::string encoded = Base64Encode(input);
  FUZZ_CHECK(devserver::IsPaddedBase64(encoded));

  devserver::DecodedRequest unkeyed;
  FUZZ_CHECK(devserver::DecodeRequest("Z=" + QUILLON::URLEncode(encoded), Keys(), &unkeyed) ==
             devserver::DecodeError::kNone);
  FUZZ_CHECK(unkeyed.fields == fields);

  const std::string cipher = TwofishEncrypt(DeriveKey(Keys().m3), input);
  devserver::DecodedRequest keyed;
  FUZZ_CHECK(devserver::DecodeRequest("C=" + QUILLON::URLEncode(Base64Encode(cipher)), Keys(), &keyed) ==
             devserver::DecodeError::kNone);
  FUZZ_CHECK(keyed.fields == fields);
  FUZZ_CHECK(!keyed.emptyKey);
  return 0;
}
