// Reading the tool's own small files (configuration, kept keys) without
// trusting what sits at their path: another user's or a broken setup may
// have put a FIFO, a device or something huge there.
#pragma once

#include <cstddef>
#include <string>

namespace proxycli {

enum class LocalFileStatus {
  kRead,
  kMissing,     // no such file (or a directory on the way is missing)
  kRefused,     // not a regular file, or larger than allowed
  kUnreadable,  // exists, but opening or reading it failed
};

// Reads all of `path` into `bytes`, which is left untouched unless kRead.
// Opening never blocks (a FIFO or device is refused after the open), and no
// more than `maxBytes` + 1 bytes are ever read. Otherwise `reason` says why,
// without the path: "not a regular file", "larger than N bytes" or the
// system's error text.
LocalFileStatus ReadLocalFile(const std::string& path, std::size_t maxBytes, std::string* bytes,
                              std::string* reason);

}  // namespace proxycli
