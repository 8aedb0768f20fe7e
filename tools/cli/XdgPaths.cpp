#include "tools/cli/XdgPaths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace proxycli {

namespace {

const char kToolDirectory[] = "proxyhelper";

std::string Join(const std::string& base, const std::string& leaf) {
  if (base.empty()) return std::string();
  if (base.back() == '/') return base + leaf;
  return base + "/" + leaf;
}

}  // namespace

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return std::string();
}

std::string XdgBaseDirectory(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return value;
  return Join(HomeDirectory(), fallback);
}

std::string DefaultConfigFile() {
  return Join(Join(XdgBaseDirectory("XDG_CONFIG_HOME", ".config"), kToolDirectory), "config.ini");
}

std::string DefaultCacheDirectory() {
  return Join(XdgBaseDirectory("XDG_CACHE_HOME", ".cache"), kToolDirectory);
}

std::string DefaultStateDirectory() {
  return Join(XdgBaseDirectory("XDG_STATE_HOME", ".local/state"), kToolDirectory);
}

bool MakePrivateDirectory(const std::string& path, std::string* error) {
  if (path.empty()) {
    *error = "no directory given (is HOME set?)";
    return false;
  }
  // Walk down from the root, creating what is missing.
  std::size_t next = 0;
  while (next != std::string::npos) {
    next = path.find('/', next + 1);
    const std::string prefix = path.substr(0, next);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0700) == 0) continue;
    if (errno != EEXIST) {
      *error = "cannot create " + prefix + ": " + std::strerror(errno);
      return false;
    }
    struct stat info;
    if (::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
      *error = prefix + " exists and is not a directory";
      return false;
    }
  }
  // Whoever else may write here could swap the cache or the kept keys for
  // files of their own; the parents are the user's business, as with ssh.
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    *error = "cannot use " + path + ": " + std::strerror(errno);
    return false;
  }
  if (info.st_uid != ::geteuid()) {
    *error = path + " belongs to user id " + std::to_string(info.st_uid) +
             ", not to you; use a directory of your own";
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    *error = path + " is writable by its group or by others (mode " + mode +
             "); make it private: chmod 700 " + path;
    return false;
  }
  return true;
}

}  // namespace proxycli
