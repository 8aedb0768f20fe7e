#include "tools/cli/PasswordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cli/Printable.h"

namespace proxycli {

namespace {

constexpr std::size_t kMaxPasswordFileBytes = 4096;

}  // namespace

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
  // O_NONBLOCK: a FIFO planted there must not hang the start.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    *error = "cannot read the password file " + Printable(path) + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  std::string text;
  bool ok = ::fstat(fd, &info) == 0;
  if (!ok || !S_ISREG(info.st_mode)) {
    *error = "the password file " + Printable(path) + " is not a regular file";
    ok = false;
  } else if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *error = "the password file " + Printable(path) + " may be read by others (mode " + mode +
             "): chmod 600 " + Printable(path);
    ok = false;
  } else if (static_cast<std::size_t>(info.st_size) > kMaxPasswordFileBytes) {
    *error = "the password file " + Printable(path) + " is larger than 4 KiB";
    ok = false;
  }
  char buffer[kMaxPasswordFileBytes + 1];
  while (ok && text.size() <= kMaxPasswordFileBytes) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = "cannot read the password file " + Printable(path) + ": " + std::strerror(errno);
      ok = false;
    }
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (!ok) return false;
  if (text.size() > kMaxPasswordFileBytes) {
    *error = "the password file " + Printable(path) + " is larger than 4 KiB";
    return false;
  }
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    *error = "the password file " + Printable(path) + " holds no password on its first line";
    return false;
  }
  *password = std::move(line);
  return true;
}

}  // namespace proxycli
