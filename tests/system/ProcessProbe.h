// What the process holds right now, read from /proc: resident memory and
// open file descriptors.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace reliability {

// AddressSanitizer holds freed memory back for a while (its quarantine, 256
// MiB by default), and that memory stays resident; bounds on resident memory
// allow for it. They still catch what they are for: a gibibyte expanded or
// an endless body kept grows far beyond.
#if defined(__SANITIZE_ADDRESS__)
#define PROXYHELPER_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PROXYHELPER_TEST_UNDER_ASAN 1
#endif
#endif
#ifndef PROXYHELPER_TEST_UNDER_ASAN
#define PROXYHELPER_TEST_UNDER_ASAN 0
#endif
constexpr long kFreedButHeldKiB = PROXYHELPER_TEST_UNDER_ASAN ? 288 * 1024 : 0;

// A "Vm..." line of /proc/self/status in KiB; -1 when it cannot be read.
inline long StatusKiB(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) {
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return -1;
}

inline long ResidentKiB() { return StatusKiB("VmRSS"); }
inline long PeakResidentKiB() { return StatusKiB("VmHWM"); }

// Entries of /proc/self/fd, less the one the listing itself holds open.
inline int OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;
}

}  // namespace reliability
