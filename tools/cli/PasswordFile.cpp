#include "tools/cli/PasswordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/cli/OwnedDescriptor.h"
#include "tools/cli/Printable.h"

namespace proxycli {

namespace {

constexpr std::size_t kMaxPasswordFileBytes = 4096;

}  // namespace

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
  const std::string named = "the password file " + Printable(path);
  const auto fail = [error](const std::string& why) {
    *error = why;
    return false;
  };
  // O_NONBLOCK: a FIFO planted there must not hang the start.
  const OwnedDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd.valid()) return fail("cannot read " + named + ": " + std::strerror(errno));
  struct stat info;
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return fail(named + " is not a regular file");
  // A file, so reads may block again: some file systems honour O_NONBLOCK with EAGAIN.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags != -1) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return fail(named + " may be read by others (mode " + mode + "): chmod 600 " + Printable(path));
  }
  const std::string tooLarge = named + " is larger than 4 KiB";
  if (static_cast<std::size_t>(info.st_size) > kMaxPasswordFileBytes) return fail(tooLarge);
  // One byte past the bound tells a file that grew since the fstat.
  std::string text;
  char buffer[kMaxPasswordFileBytes + 1];
  while (text.size() <= kMaxPasswordFileBytes) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return fail("cannot read " + named + ": " + std::strerror(errno));
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
  }
  if (text.size() > kMaxPasswordFileBytes) return fail(tooLarge);
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return fail(named + " holds no password on its first line");
  *password = std::move(line);
  return true;
}

}  // namespace proxycli
