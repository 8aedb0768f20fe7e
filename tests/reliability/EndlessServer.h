// A loopback server whose answer never ends: status 200 and then body bytes
// for as long as the client keeps reading, with no length announced (the
// close would end the body) or in chunked framing. ScriptedServer's huge
// body announces its length, which a client can refuse up front; this one
// gives the client nothing to refuse until the bytes pile up.
//
// One thread, one connection at a time; every wait is bounded, and Stop()
// (also run by the destructor) ends the stream at once.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

namespace reliability {

class EndlessServer {
 public:
  enum class Framing { kCloseDelimited, kChunked };

  EndlessServer(std::string address, Framing framing) : address_(std::move(address)), framing_(framing) {}
  ~EndlessServer() { Stop(); }
  EndlessServer(const EndlessServer&) = delete;
  EndlessServer& operator=(const EndlessServer&) = delete;

  bool Start() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address_.c_str(), &address.sin_addr) != 1) return false;
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { AcceptLoop(); });
    return true;
  }

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }

  std::string HostPort() const { return address_ + ":" + std::to_string(port_); }
  std::size_t Connections() const { return connections_.load(); }
  // Body bytes the client accepted, over all connections.
  std::uint64_t BytesSent() const { return bytesSent_.load(); }

 private:
  static constexpr int kPollMs = 50;
  // Far beyond any bound a client may set, yet finite: no loop here is endless.
  static constexpr std::uint64_t kMaxBytesPerConnection = std::uint64_t{64} << 30;
  static constexpr std::size_t kMaxConnections = 256;

  bool Ready(int fd, short events) {
    pollfd entry{fd, events, 0};
    return ::poll(&entry, 1, kPollMs) > 0 && (entry.revents & (events | POLLERR | POLLHUP)) != 0;
  }

  void AcceptLoop() {
    while (!stop_ && connections_.load() < kMaxConnections) {
      if (!Ready(listener_, POLLIN)) continue;
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      Serve(fd);
      ::close(fd);
    }
  }

  // Waits for the end of the request headers (the body, a few hundred
  // bytes, is left unread); false when the client gave up or Stop came.
  bool ReadHeaders(int fd) {
    std::string data;
    char buffer[4096];
    for (int round = 0; round < 200 && !stop_; ++round) {  // 10 s at most
      if (!Ready(fd, POLLIN)) continue;
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0) return false;
      data.append(buffer, static_cast<std::size_t>(got));
      if (data.find("\r\n\r\n") != std::string::npos) return true;
      if (data.size() > 65536) return false;
    }
    return false;
  }

  bool SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0 && !stop_) {
      if (!Ready(fd, POLLOUT)) continue;
      const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (sent <= 0) return false;
      data += sent;
      length -= static_cast<std::size_t>(sent);
    }
    return length == 0;
  }

  void Serve(int fd) {
    if (!ReadHeaders(fd)) return;
    const std::string head = framing_ == Framing::kChunked
                                 ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                                 : "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
    if (!SendAll(fd, head.data(), head.size())) return;
    // Valid reply framing at the front, so nothing but the length gives it away.
    std::string piece(32 * 1024, 'A');
    const std::string first = Frame("Z=" + piece.substr(2));
    const std::string rest = Frame(piece);
    for (std::uint64_t sent = 0; sent < kMaxBytesPerConnection && !stop_; sent += piece.size()) {
      const std::string& framed = sent == 0 ? first : rest;
      if (!SendAll(fd, framed.data(), framed.size())) return;
      bytesSent_ += piece.size();
    }
  }

  std::string Frame(const std::string& piece) const {
    if (framing_ != Framing::kChunked) return piece;
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    return size + piece + "\r\n";
  }

  std::string address_;
  Framing framing_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::uint64_t> bytesSent_{0};
};

}  // namespace reliability
