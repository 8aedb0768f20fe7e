#include "support/WindowsCompat.h"

#if defined(_WIN32)

#include <windows.h>
#include <errno.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

char* mkdtemp(char* pattern) {
  const std::size_t length = pattern == nullptr ? 0 : std::strlen(pattern);
  if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return nullptr;
  }
  static std::atomic<std::uint32_t> counter{0};
  std::uint64_t seed = (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^ ::GetTickCount64() ^
                       (static_cast<std::uint64_t>(++counter) << 20);
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    for (std::size_t i = length - 6; i < length; ++i) {
      seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
      pattern[i] = kAlphabet[(seed >> 33) % 36];
    }
    // Fails with ERROR_ALREADY_EXISTS rather than reuse a directory.
    if (::CreateDirectoryA(pattern, nullptr)) return pattern;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      errno = ENOENT;
      return nullptr;
    }
  }
  errno = EEXIST;
  return nullptr;
}

int setenv(const char* name, const char* value, int overwrite) {
  if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr || value == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (overwrite == 0 && ::getenv(name) != nullptr) return 0;
  // An empty value would remove the variable; POSIX keeps it, set and empty.
  // The C runtime cannot hold an empty variable, so this is the closest.
  return ::_putenv_s(name, value) == 0 ? 0 : -1;
}

int unsetenv(const char* name) {
  if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  return ::_putenv_s(name, "") == 0 ? 0 : -1;
}

#endif  // _WIN32
