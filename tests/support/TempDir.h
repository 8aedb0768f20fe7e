// A private temporary directory for one test, removed with its contents.
#pragma once

#include <string>

namespace testsupport {

class TempDir {
 public:
  // Creates "<$TMPDIR or /tmp>/<prefix>XXXXXX"; ok() tells whether it worked.
  explicit TempDir(const std::string& prefix = "proxyhelper-test-");
  ~TempDir();

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

  // Writes `content` byte for byte to `relative` under the directory,
  // creating parent directories; returns the file's full path, or an empty
  // text when it could not be written.
  std::string Write(const std::string& relative, const std::string& content) const;
  // The whole content of `relative`, or an empty text when it cannot be read.
  std::string Read(const std::string& relative) const;

 private:
  std::string path_;
};

}  // namespace testsupport
