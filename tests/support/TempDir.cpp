#include "support/TempDir.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

namespace testsupport {

namespace {

std::string BaseDirectory() {
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    const char* base = std::getenv(name);
    if (base != nullptr && *base != '\0') return base;
#if !defined(_WIN32)
    break;  // TEMP and TMP are Windows' names
#endif
  }
  return "/tmp";
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = BaseDirectory() + "/" + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(const std::string& relative, const std::string& content) const {
  if (path_.empty()) return std::string();
  const std::filesystem::path file = std::filesystem::path(path_) / relative;
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  return out ? file.string() : std::string();
}

std::string TempDir::Read(const std::string& relative) const {
  if (path_.empty()) return std::string();
  std::ifstream in(std::filesystem::path(path_) / relative, std::ios::binary);
  if (!in) return std::string();
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
