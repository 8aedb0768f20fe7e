#include "transport/CacheFile.h"

#include <string>

#include "hostlib/quillon.h"
#include "platform/AtomicFile.h"
#include "transport/HttpCmd.h"

namespace {

const char kCacheFileName[] = "cache.dat";

}  // namespace

std::string CacheFilePath() {
  std::string directory;
  // Without a known directory there is no sound place for the file: an empty
  // path would put it at the root of the file system or in whatever the
  // working directory happens to be. An empty result makes reads and writes
  // fail cleanly instead.
  if (!QUILLON::GetExeDirectory(directory) || directory.empty()) return std::string();
  return directory + kPathSeparator + kCacheFileName;
}

bool WriteCacheFile(const std::string& path, const std::string& data) {
  if (path.empty()) return false;
  // The new content goes to a temporary file beside the old one and replaces
  // it only when complete and on disk: a crash, a full disk or any other
  // failure leaves the old file byte for byte, and a reader always sees
  // either the old or the new file whole, never a truncated one.
  return ReplaceFileAtomically(path, data);
}

bool ReadCacheFile(const std::string& path, std::string& data, std::size_t maxBytes) {
  if (path.empty()) return false;
  // Binary and whole: the reply is replayed exactly as it was stored, line
  // breaks included.
  return ReadWholeFile(path, data, maxBytes);
}

void CHttpCmd::SaveCache() const {
  // The reply as received, up to its first zero byte. A failed write is not
  // the caller's concern: the catalogue was already delivered, and the old
  // cache file is still whole.
  WriteCacheFile(CacheFilePath(), reply.substr(0, reply.find('\0')));
}
