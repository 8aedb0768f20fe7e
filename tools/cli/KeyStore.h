// The cipher key items the service pushes (GC_CIPER_A/B/C) live only in the
// process's configuration cache. The tool keeps the last ones in a private
// file so that a later process can decode the catalogue cache offline.
#pragma once

#include <cstddef>
#include <string>

namespace proxycli {

struct KeyItems {
  std::string a;  // "GC_CIPER_A"
  std::string b;  // "GC_CIPER_B"
  std::string c;  // "GC_CIPER_C"

  bool empty() const { return a.empty() && b.empty() && c.empty(); }
  bool operator==(const KeyItems& other) const { return a == other.a && b == other.b && c == other.c; }
};

// The items the configuration cache holds now (absent items are empty).
KeyItems KeyItemsFromCache();
// Stores the items in the configuration cache, replacing earlier ones.
void KeyItemsToCache(const KeyItems& items);

// The largest keys file written or read; far more than the service's keys
// ever take.
constexpr std::size_t kMaxKeysFileBytes = 64 * 1024;

// Writes the items to `path` (INI text, values URL-encoded so any byte
// survives) through a temporary file and a rename, so a reader sees the old
// file or the new one, never a part. The file gets mode 0600. Items that
// would make it larger than kMaxKeysFileBytes are refused.
bool SaveKeyItems(const std::string& path, const KeyItems& items, std::string* error);

// Reads a file written by SaveKeyItems. False, with `items` untouched, when
// the file is missing, unreadable, not a regular file, larger than
// kMaxKeysFileBytes or not such a file.
bool LoadKeyItems(const std::string& path, KeyItems* items);

}  // namespace proxycli
