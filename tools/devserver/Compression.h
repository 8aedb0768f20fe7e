// bzip2 in memory, for replies the client expands from "YYY=" payloads.
#pragma once

#include <string>

namespace devserver {

// Compresses `data` into `out` (block size 9). Returns false, with `out`
// empty, only when libbz2 fails for a reason other than a small buffer.
bool Bzip2Compress(const std::string& data, std::string* out);

}  // namespace devserver
