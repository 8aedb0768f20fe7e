#include <mutex>
#include <string>
#include <vector>

#include "hostlib/quillon.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

struct ExeDirectoryOverride {
  std::mutex mutex;
  std::string path;  // empty: the executable's own directory
};

ExeDirectoryOverride& Override() {
  // Leaked on purpose: usable during exit-time destruction of other
  // libraries' statics.
  static ExeDirectoryOverride* instance = new ExeDirectoryOverride;
  return *instance;
}

#if defined(_WIN32)

// The running program's file. GetModuleFileNameA fills the whole buffer when
// it truncates, so the buffer grows until the answer fits (bounded: Windows
// paths end at 32767 characters).
std::string ExecutablePath() {
  for (DWORD size = MAX_PATH; size <= (1u << 16); size *= 2) {
    std::vector<char> buffer(size);
    const DWORD length = ::GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return std::string();
    if (length < size) return std::string(buffer.data(), length);
  }
  return std::string();
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A lone separator and a drive's root ("C:\" and "C:/") are roots; "C:"
// alone would mean the drive's current directory, so a root keeps its
// separator.
bool IsRoot(const std::string& path) {
  return (path.size() == 1 && IsSeparator(path[0])) ||
         (path.size() == 3 && path[1] == ':' && IsSeparator(path[2]));
}

#else

// The target of /proc/self/exe, or empty when it cannot be read. readlink
// does not say whether it truncated, so the buffer grows until the answer
// fits (bounded: paths are limited by the kernel anyway).
std::string ExecutablePath() {
  for (std::size_t size = 256; size <= (1u << 16); size *= 2) {
    std::vector<char> buffer(size);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return std::string();
    if (static_cast<std::size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    }
  }
  return std::string();
}

bool IsSeparator(char c) { return c == '/'; }

bool IsRoot(const std::string& path) { return path.size() == 1 && IsSeparator(path[0]); }

#endif

// Drops trailing separators but keeps the root itself.
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back()) && !IsRoot(path)) path.pop_back();
  return path;
}

// The directory part of an executable's path, without a trailing separator
// unless it is the root.
std::string DirectoryOf(const std::string& file) {
  std::size_t separator = std::string::npos;
  for (std::size_t i = file.size(); i > 0; --i) {
    if (IsSeparator(file[i - 1])) {
      separator = i - 1;
      break;
    }
  }
  if (separator == std::string::npos) return std::string();
  return WithoutTrailingSeparators(file.substr(0, separator + 1));
}

}  // namespace

namespace QUILLON {

bool GetExeDirectory(std::string& path) {
  {
    ExeDirectoryOverride& override = Override();
    std::lock_guard<std::mutex> lock(override.mutex);
    if (!override.path.empty()) {
      path = override.path;
      return true;
    }
  }
  const std::string directory = DirectoryOf(ExecutablePath());
  if (directory.empty()) return false;
  path = directory;
  return true;
}

void SetExeDirectory(const std::string& path) {
  std::string cleaned = WithoutTrailingSeparators(path);
  ExeDirectoryOverride& override = Override();
  std::lock_guard<std::mutex> lock(override.mutex);
  override.path.swap(cleaned);
}

}  // namespace QUILLON
