// A bare TCP client to 127.0.0.1 for the service's HTTP tests: for what an
// HTTP library will not do (send nothing, trickle, shut down its sending
// side, pipeline behind a refused request).
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace devserver_test {

using RawPeerClock = std::chrono::steady_clock;

// A bare TCP client to 127.0.0.1 that reads answers by their
// Content-Length; every wait gives up after the time it is given.
class RawPeer {
 public:
  explicit RawPeer(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const timeval limit{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawPeer() { ::close(fd_); }
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  bool connected() const { return connected_; }
  // False once the server has closed or reset the connection.
  bool Send(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<std::size_t>(n);
    }
    return true;
  }
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }

  // One whole answer (head and Content-Length body), or "" when none came
  // within `ms`.
  std::string ReadAnswer(int ms) {
    const auto deadline = RawPeerClock::now() + std::chrono::milliseconds(ms);
    while (true) {
      const std::string::size_type headEnd = pending_.find("\r\n\r\n");
      if (headEnd != std::string::npos) {
        const std::size_t total = headEnd + 4 + ContentLength(pending_.substr(0, headEnd));
        if (pending_.size() >= total) {
          std::string answer = pending_.substr(0, total);
          pending_.erase(0, total);
          return answer;
        }
      }
      if (!ReadSome(deadline)) return "";
    }
  }

  // Whether the server closed the connection within `ms`; what it sent
  // until then goes to `received`.
  bool ClosedWithin(int ms, std::string* received = nullptr) {
    const auto deadline = RawPeerClock::now() + std::chrono::milliseconds(ms);
    while (ReadSome(deadline)) {
    }
    if (received != nullptr) *received += pending_;
    pending_.clear();
    return closed_;
  }

 private:
  static std::size_t ContentLength(std::string head) {
    std::transform(head.begin(), head.end(), head.begin(), ::tolower);
    const std::string::size_type at = head.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
  }

  // Reads what arrives before `deadline`; false on timeout or close.
  bool ReadSome(RawPeerClock::time_point deadline) {
    if (closed_) return false;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - RawPeerClock::now()).count();
    pollfd watched{fd_, POLLIN, 0};
    if (left <= 0 || ::poll(&watched, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  bool connected_ = false;
  bool closed_ = false;
  std::string pending_;
};

}  // namespace devserver_test
