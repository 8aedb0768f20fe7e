// Whole-file replacement that a reader never sees half done, and whole-file
// reads, over the platform's own file interface.
#pragma once

#include <cstddef>
#include <string>

#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// Replaces the file at `path` with `data`. The bytes go to a temporary file
// beside it, created exclusively (never an existing file), are flushed to the
// disk, and only then take the old file's place in one atomic step. On any
// failure, including a platform that refuses to replace a file someone holds
// open, the temporary file is removed, the old file stays byte for byte and
// the result is false. A reader therefore sees the old or the new file whole.
bool ReplaceFileAtomically(const std::string& path, const std::string& data);

// Reads the whole file byte for byte into `data`. Returns false, leaving
// `data` as it was, when the file cannot be opened or read, when it is not a
// regular file (a directory, a FIFO, a device; the open never blocks), and
// when it holds more than `maxBytes`.
bool ReadWholeFile(const std::string& path, std::string& data, std::size_t maxBytes);
