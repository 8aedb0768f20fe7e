// Request decoding on arbitrary bodies, and on the
// bodies a client would build from arbitrary form text: every form that the
// service accepts as text travels through both framings unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "hostlib/quillon.h"
#include "wire/Cipher.h"
#include "wire/Form.h"
#include "wire/Request.h"

namespace {

const wire::KeyItems& Keys() {
  static const wire::KeyItems keys{"fuzz-key-item-a", "fuzz-key-item-b", "fuzz-key-item-c"};
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  wire::DecodedRequest decoded;
  const wire::DecodeError error = wire::DecodeRequest(input, Keys(), &decoded);
  FUZZ_CHECK(wire::DescribeDecodeError(error) != nullptr);
  if (error == wire::DecodeError::kNone) {
    FUZZ_CHECK(input.size() >= 2 && input[1] == '=');
    FUZZ_CHECK(decoded.letter == input[0]);
  }

  wire::FormFields fields;
  if (!wire::ParseFormText(input, true, &fields)) return 0;
  const std::string encoded = Base64Encode(input);
  FUZZ_CHECK(wire::IsPaddedBase64(encoded));

  wire::DecodedRequest unkeyed;
  FUZZ_CHECK(wire::DecodeRequest("Z=" + QUILLON::URLEncode(encoded), Keys(), &unkeyed) ==
             wire::DecodeError::kNone);
  FUZZ_CHECK(unkeyed.fields == fields);

  const std::string cipher = TwofishEncrypt(DeriveKey(Keys().m3), input);
  wire::DecodedRequest keyed;
  FUZZ_CHECK(wire::DecodeRequest("C=" + QUILLON::URLEncode(Base64Encode(cipher)), Keys(), &keyed) ==
             wire::DecodeError::kNone);
  FUZZ_CHECK(keyed.fields == fields);
  FUZZ_CHECK(!keyed.emptyKey);
  return 0;
}
