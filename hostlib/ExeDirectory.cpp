#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "hostlib/quillon.h"

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

// Drops trailing separators but keeps the root itself.
std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
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
  const std::string exe = ExecutablePath();
  const std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return false;
  path = slash == 0 ? std::string("/") : exe.substr(0, slash);
  return true;
}

void SetExeDirectory(const std::string& path) {
  std::string cleaned = WithoutTrailingSeparators(path);
  ExeDirectoryOverride& override = Override();
  std::lock_guard<std::mutex> lock(override.mutex);
  override.path.swap(cleaned);
}

}  // namespace QUILLON
