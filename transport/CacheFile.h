// The local catalogue cache: "cache.dat" in the application directory.
#pragma once

#include <cstddef>
#include <string>

// Path of the cache file in QUILLON::GetExeDirectory's directory.
std::string CacheFilePath();

// Replaces the file with `data` through a temporary file in the same
// directory and an atomic rename, so the old file stays whole until the new
// one is complete. Returns false (old file untouched) on any failure.
bool WriteCacheFile(const std::string& path, const std::string& data);

// Reads the whole file into `data`. Returns false when it cannot be opened,
// is not a regular file, or holds more than `maxBytes`.
bool ReadCacheFile(const std::string& path, std::string& data, std::size_t maxBytes);
