// Texts the benchmarks feed through the library: the catalogue reply of the
// reference service, and profile-like texts of a chosen size framed as the
// service frames its replies. Built once and kept, since bzip2-compressing
// several megabytes costs far more than one measured round.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

// Profile text of the service's catalogue reply for `servers` generated
// servers: the envelope, then one "[group]" per group of "id=entry" items.
const std::string& CatalogueProfileText(int servers);

// Catalogue-like profile text of exactly `bytes` bytes.
const std::string& ProfileTextOfSize(std::size_t bytes);

enum class Framing {
  kUnkeyed,          // "Z=" + Base64(text)
  kKeyed,            // "A=" + Base64(Twofish(text))
  kKeyedCompressed,  // "A=" + Base64(Twofish("YYY=" + bzip2(text)))
};

// ProfileTextOfSize(bytes) framed as the service would send it, keyed with
// the benchmark key of letter "A".
const std::string& FramedReply(std::size_t bytes, Framing framing);

}  // namespace bench
