#include "transport/CacheFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"
#include "transport/HttpCmd.h"

namespace {

#if defined(_WIN32)
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif
const char kCacheFileName[] = "cache.dat";
// Readable by the other users of the installation, like any data file.
constexpr mode_t kCacheFileMode = 0644;

// Closes the descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the last buffered writes made it.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::string& path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

bool WriteAll(int fd, const std::string& data) {
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind(kSeparator);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return std::string(1, kSeparator);
  return path.substr(0, slash);
}

// Makes the rename itself survive a power loss. Best effort: the new file is
// complete either way, and some file systems refuse to sync a directory.
void SyncDirectory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

}  // namespace

std::string CacheFilePath() {
  std::string directory;
  // Without a known directory there is no sound place for the file: an empty
  // path would put it at the root of the file system or in whatever the
  // working directory happens to be. An empty result makes reads and writes
  // fail cleanly instead.
  if (!QUILLON::GetExeDirectory(directory) || directory.empty()) return std::string();
  return directory + kSeparator + kCacheFileName;
}

bool WriteCacheFile(const std::string& path, const std::string& data) {
  if (path.empty()) return false;

  // The new content goes to a temporary file beside the old one and is
  // renamed over it only when complete and on disk: a crash, a full disk or
  // any other failure leaves the old file byte for byte, and a reader always
  // sees either the old or the new file whole, never a truncated one.
  std::string pattern = path + ".tmpXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  TemporaryFile temporary(name.data());

  // mkstemp creates the file private to its owner.
  if (::fchmod(fd.get(), kCacheFileMode) != 0) return false;
  if (!WriteAll(fd.get(), data)) return false;
  if (::fsync(fd.get()) != 0) return false;
  if (!fd.Close()) return false;
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return false;
  temporary.Keep();

  SyncDirectory(DirectoryOf(path));
  return true;
}

bool ReadCacheFile(const std::string& path, std::string& data) {
  if (path.empty()) return false;
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;

  // Binary and whole: the reply is replayed exactly as it was stored, line
  // breaks included.
  std::string content;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof(buffer));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // for example a directory in place of the file
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  data.swap(content);
  return true;
}

void CHttpCmd::SaveCache() const {
  // The reply as received, up to its first zero byte. A failed write is not
  // the caller's concern: the catalogue was already delivered, and the old
  // cache file is still whole.
  WriteCacheFile(CacheFilePath(), reply.substr(0, reply.find('\0')));
}
