#include "tools/cli/LocalFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/cli/OwnedDescriptor.h"

namespace proxycli {

LocalFileStatus ReadLocalFile(const std::string& path, std::size_t maxBytes, std::string* bytes,
                              std::string* reason) {
  // O_NONBLOCK so that a FIFO without a writer cannot hold the open.
  const OwnedDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) {
    const int error = errno;
    *reason = std::strerror(error);
    return error == ENOENT || error == ENOTDIR ? LocalFileStatus::kMissing : LocalFileStatus::kUnreadable;
  }
  // The open descriptor, not the path: the path may have been swapped since.
  struct stat info;
  if (::fstat(file.get(), &info) != 0) {
    *reason = std::strerror(errno);
    return LocalFileStatus::kUnreadable;
  }
  if (!S_ISREG(info.st_mode)) {
    *reason = "not a regular file";
    return LocalFileStatus::kRefused;
  }
  const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
  if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > maxBytes) {
    *reason = tooLarge;
    return LocalFileStatus::kRefused;
  }
  // Some file systems (FUSE) honour O_NONBLOCK on files too; a regular file
  // is read blocking, like any other.
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *reason = std::strerror(errno);
    return LocalFileStatus::kUnreadable;
  }

  // One byte past the limit tells a file that grew since the fstat.
  std::string text(maxBytes + 1, '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(file.get(), &text[done], text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      *reason = std::strerror(errno);
      return LocalFileStatus::kUnreadable;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (done > maxBytes) {
    *reason = tooLarge;
    return LocalFileStatus::kRefused;
  }
  text.resize(done);
  bytes->swap(text);
  return LocalFileStatus::kRead;
}

}  // namespace proxycli
