#include "platform/AppName.h"

#include <string>

#include "facade/ConfigItems.h"
#include "hostlib/quillon.h"

#if defined(_WIN32)
#include <windows.h>

#include <vector>
#else
#include <errno.h>
#include <unistd.h>
#endif

namespace {

std::string WithoutControlBytes(const std::string& text) {
  std::string clean;
  clean.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7F) clean.push_back(ch);
  }
  return clean;
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProgramName() {
#if defined(_WIN32)
  // GetModuleFileNameA fills the whole buffer when it truncates: grow until
  // the path fits (Windows paths end at 32767 characters).
  std::string path;
  for (DWORD size = MAX_PATH; size <= (1u << 16) && path.empty(); size *= 2) {
    std::vector<char> buffer(size);
    const DWORD length = GetModuleFileNameA(nullptr, buffer.data(), size);
    if (length == 0) return std::string();
    if (length < size) path.assign(buffer.data(), length);
  }
  std::string name = BaseName(path);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot != 0) name.resize(dot);
  return name;
#else
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof path) {
    std::string name = BaseName(std::string(path, static_cast<std::size_t>(length)));
    // The kernel marks a replaced executable; that mark is not part of the name.
    const std::string deleted = " (deleted)";
    if (name.size() > deleted.size() &&
        name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0) {
      name.resize(name.size() - deleted.size());
    }
    if (!name.empty()) return name;
  }
  // Without /proc (some containers and sandboxes) the C library still knows.
  return program_invocation_short_name != nullptr ? program_invocation_short_name : "";
#endif
}

}  // namespace

std::string GetApplicationName() {
  std::string agent;
  GlobalCache::Instance().GetConfigItem(proxyhelper::config::kUserAgent, agent);
  // Read once, as the framework fixes the application's name at start-up:
  // looking it up again costs a system call on every HTTP attempt.
  static const std::string programName = WithoutControlBytes(ProgramName());
  if (agent.empty()) return programName;
  // The agent goes into a header line: a CR or LF in it would put a line of
  // the setter's choosing on the wire, whichever HTTP stack sends it.
  return WithoutControlBytes(agent);
}
