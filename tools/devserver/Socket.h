// Minimal POSIX socket helpers for the listeners that misbehave on purpose.
#pragma once

#include <string>

namespace devserver {

// Owns a file descriptor and closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release();
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A TCP socket bound to host:port (numeric or resolvable host; port 0: any
// free port), not yet listening, non-blocking and close-on-exec. On failure
// `error` says why, without the address ("Address already in use").
bool BindTcpSocket(const std::string& host, int port, UniqueFd* socket, int* boundPort, std::string* error);

}  // namespace devserver
