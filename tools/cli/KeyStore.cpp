#include "tools/cli/KeyStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>
#include <vector>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"
#include "tools/cli/LocalFile.h"

namespace proxycli {

namespace {

const char kSection[] = "keys";
constexpr const char* kItemA = proxyhelper::config::kCipherA;
constexpr const char* kItemB = proxyhelper::config::kCipherB;
constexpr const char* kItemC = proxyhelper::config::kCipherC;

std::string CacheItem(const char* name) {
  std::string value;
  GlobalCache::Instance().GetConfigItem(name, value);
  return value;
}

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

// Owns a descriptor, and the temporary file's name until it is renamed.
class TemporaryFile {
 public:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void Keep() { path_.clear(); }

 private:
  int fd_;
  std::string path_;
};

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

KeyItems KeyItemsFromCache() { return KeyItems{CacheItem(kItemA), CacheItem(kItemB), CacheItem(kItemC)}; }

void KeyItemsToCache(const KeyItems& items) {
  GlobalCache& cache = GlobalCache::Instance();
  cache.SetConfigItem(kItemA, items.a);
  cache.SetConfigItem(kItemB, items.b);
  cache.SetConfigItem(kItemC, items.c);
}

bool SaveKeyItems(const std::string& path, const KeyItems& items, std::string* error) {
  std::ostringstream text;
  text << "; Cipher key items last pushed by the account service.\n"
       << "; Written by proxyhelper; values are URL-encoded.\n"
       << "[" << kSection << "]\n"
       << kItemA << "=" << QUILLON::URLEncode(items.a) << "\n"
       << kItemB << "=" << QUILLON::URLEncode(items.b) << "\n"
       << kItemC << "=" << QUILLON::URLEncode(items.c) << "\n";
  const std::string bytes = text.str();
  // LoadKeyItems would refuse it; better to say so now than in a later run.
  if (bytes.size() > kMaxKeysFileBytes) {
    *error = path + " would be " + std::to_string(bytes.size()) + " bytes, larger than " +
             std::to_string(kMaxKeysFileBytes) + " bytes";
    return false;
  }

  std::vector<char> pattern(path.begin(), path.end());
  const char suffix[] = ".tmp-XXXXXX";
  pattern.insert(pattern.end(), suffix, suffix + sizeof(suffix));
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    *error = ErrnoText("cannot create a temporary file beside " + path);
    return false;
  }
  TemporaryFile temporary(fd, pattern.data());
  if (::fchmod(temporary.fd(), 0600) != 0 || !WriteAll(temporary.fd(), bytes) ||
      ::fsync(temporary.fd()) != 0 || !temporary.Close()) {
    *error = ErrnoText("cannot write " + temporary.path());
    return false;
  }
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) {
    *error = ErrnoText("cannot replace " + path);
    return false;
  }
  temporary.Keep();
  return true;
}

bool LoadKeyItems(const std::string& path, KeyItems* items) {
  std::string text;
  std::string reason;
  if (ReadLocalFile(path, kMaxKeysFileBytes, &text, &reason) != LocalFileStatus::kRead) return false;

  CProfileFile profile;
  if (!profile.Load(text)) return false;
  for (const ProfileSection& section : profile.GetSections()) {
    if (!(section == kSection)) continue;
    if (!section.IsItemExist(kItemA) || !section.IsItemExist(kItemB) || !section.IsItemExist(kItemC)) {
      return false;
    }
    items->a = QUILLON::URLDecode(section.GetItem(kItemA));
    items->b = QUILLON::URLDecode(section.GetItem(kItemB));
    items->c = QUILLON::URLDecode(section.GetItem(kItemC));
    return true;
  }
  return false;
}

}  // namespace proxycli
