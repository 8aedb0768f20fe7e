// bzip2 in memory, for the "YYY=" payloads of long replies. Expansion is the
// host library's CMemBZ2Decompress, which also holds its output bound.
#pragma once

#include <string>

namespace wire {

// Compresses `data` into `out` (block size 9). Returns false, with `out`
// empty, only when libbz2 fails for a reason other than a small buffer.
bool Bzip2Compress(const std::string& data, std::string* out);

}  // namespace wire
