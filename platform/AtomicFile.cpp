#include "platform/AtomicFile.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#include <cstdint>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

#if defined(_WIN32)

// Closes the handle when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  // Closes now and reports whether it worked.
  bool Close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return ::CloseHandle(handle) != 0;
  }

 private:
  HANDLE handle_;
};

// Deletes the temporary file unless it was moved into place.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile() {
    if (!path_.empty()) ::DeleteFileA(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  void Set(std::string path) { path_ = std::move(path); }
  const std::string& path() const { return path_; }
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// Six letters and digits for the temporary name, different for every call
// of every process; CREATE_NEW still guards against a clash.
std::string UniqueSuffix(unsigned attempt) {
  static std::atomic<std::uint32_t> counter{0};
  std::uint64_t seed = (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64() ^
                       (static_cast<std::uint64_t>(counter++) << 20) ^ attempt;
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 6; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    suffix.push_back(kAlphabet[(seed >> 33) % 36]);
  }
  return suffix;
}

bool WriteAll(HANDLE file, const std::string& data) {
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const DWORD chunk = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file, next, chunk, &written, nullptr) || written == 0) return false;
    next += written;
    left -= written;
  }
  return true;
}

#else  // POSIX

// Readable by the other users of the installation, like any data file.
constexpr mode_t kReplacedFileMode = 0644;

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
  const std::size_t slash = path.rfind(kPathSeparator);
  if (slash == std::string::npos) return ".";
  if (slash == 0) return std::string(1, kPathSeparator);
  return path.substr(0, slash);
}

// Makes the rename itself survive a power loss. Best effort: the new file is
// complete either way, and some file systems refuse to sync a directory.
void SyncDirectory(const std::string& directory) {
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

#endif

}  // namespace

#if defined(_WIN32)

bool ReplaceFileAtomically(const std::string& path, const std::string& data) {
  if (path.empty()) return false;

  // Created exclusively and shared with nobody while it is written.
  TemporaryFile temporary;
  HANDLE created = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 16 && created == INVALID_HANDLE_VALUE; ++attempt) {
    const std::string name = path + ".tmp" + UniqueSuffix(attempt);
    created =
        ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created != INVALID_HANDLE_VALUE) {
      temporary.Set(name);
    } else if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;  // no directory, no permission, ...
    }
  }
  FileHandle file(created);
  if (!file.valid()) return false;

  if (!WriteAll(file.get(), data)) return false;
  if (!::FlushFileBuffers(file.get())) return false;
  if (!file.Close()) return false;
  // One step, written through. Windows refuses it while the old file is held
  // open without delete sharing; the write is then skipped and the old file
  // stays in place.
  if (!::MoveFileExA(temporary.path().c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return false;
  }
  temporary.Keep();
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& data, std::size_t maxBytes) {
  if (path.empty()) return false;
  // Delete sharing lets a writer replace the file meanwhile where the file
  // system allows it; this handle keeps reading the old one, whole.
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return false;  // also a directory: it needs backup semantics
  // A disk file only: a pipe or a device could block or never end.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
      static_cast<unsigned long long>(size.QuadPart) > maxBytes) {
    return false;
  }

  std::string content;
  content.reserve(static_cast<std::size_t>(size.QuadPart));
  std::vector<char> buffer(16384);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      return false;
    }
    if (got == 0) break;
    // The file may grow while it is read.
    if (got > maxBytes - content.size()) return false;
    content.append(buffer.data(), got);
  }
  data.swap(content);
  return true;
}

#else  // POSIX

bool ReplaceFileAtomically(const std::string& path, const std::string& data) {
  if (path.empty()) return false;

  std::string pattern = path + ".tmpXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  FileDescriptor fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  TemporaryFile temporary(name.data());

  // mkstemp creates the file private to its owner.
  if (::fchmod(fd.get(), kReplacedFileMode) != 0) return false;
  if (!WriteAll(fd.get(), data)) return false;
  if (::fsync(fd.get()) != 0) return false;
  if (!fd.Close()) return false;
  if (::rename(temporary.path().c_str(), path.c_str()) != 0) return false;
  temporary.Keep();

  SyncDirectory(DirectoryOf(path));
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& data, std::size_t maxBytes) {
  if (path.empty()) return false;
  // Non-blocking, so that a FIFO put in the file's place cannot hold the
  // open; what was opened is then checked to be a regular file, so that a
  // link to a device (an endless /dev/zero) is refused as well.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) return false;
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
      static_cast<unsigned long long>(info.st_size) > maxBytes) {
    return false;
  }

  std::string content;
  content.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof(buffer));
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    // The file may grow while it is read.
    if (static_cast<std::size_t>(got) > maxBytes - content.size()) return false;
    content.append(buffer, static_cast<std::size_t>(got));
  }
  data.swap(content);
  return true;
}

#endif
