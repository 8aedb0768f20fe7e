#include "wire/Bzip2.h"

#include <bzlib.h>

#include <limits>

namespace wire {

bool Bzip2Compress(const std::string& data, std::string* out) {
  out->clear();
  if (data.size() > std::numeric_limits<unsigned int>::max() / 2) return false;
  // bzip2 documents 1% + 600 bytes as always enough; start there and grow
  // anyway in case that promise is ever broken.
  std::size_t capacity = data.size() + data.size() / 100 + 600;
  for (int attempt = 0; attempt < 4; ++attempt) {
    out->resize(capacity);
    unsigned int length = static_cast<unsigned int>(capacity);
    const int rc = BZ2_bzBuffToBuffCompress(&(*out)[0], &length, const_cast<char*>(data.data()),
                                            static_cast<unsigned int>(data.size()), 9, 0, 0);
    if (rc == BZ_OK) {
      out->resize(length);
      return true;
    }
    if (rc != BZ_OUTBUFF_FULL) break;
    capacity *= 2;
  }
  out->clear();
  return false;
}

}  // namespace wire
