// Loopback helpers over Winsock alone, header-only: shared by the Windows
// tests built with the test helpers (tests/platform) and by windows_failover,
// which has the public headers and the DLLs only.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <string>
#include <thread>

namespace wintest {

// Winsock started for the life of the object.
class Winsock {
 public:
  Winsock() : ok_(::WSAStartup(MAKEWORD(2, 2), &data_) == 0) {}
  ~Winsock() {
    if (ok_) ::WSACleanup();
  }
  Winsock(const Winsock&) = delete;
  Winsock& operator=(const Winsock&) = delete;
  bool ok() const { return ok_; }

 private:
  WSADATA data_ = {};
  bool ok_;
};

inline sockaddr_in Ipv4Address(const std::string& host, int port) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  return address;
}

// Listens on 127.0.0.1 and accepts nothing, with room in its queue: the
// system completes every connect and takes the request, and no answer ever
// comes. port() is 0 when it could not listen.
class StallingListener {
 public:
  StallingListener() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
    sockaddr_in address = Ipv4Address("127.0.0.1", 0);
    int length = sizeof address;
    if (socket_ == INVALID_SOCKET ||
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(socket_, SOMAXCONN) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~StallingListener() {
    if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
  }
  StallingListener(const StallingListener&) = delete;
  StallingListener& operator=(const StallingListener&) = delete;
  int port() const { return port_; }

 private:
  SOCKET socket_;
  int port_ = 0;
};

// Winsock's own answer, not the library's: true once nothing listens at
// host:port.
inline bool Refuses(const std::string& host, int port) {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  const sockaddr_in to = Ipv4Address(host, port);
  const bool refused = ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == SOCKET_ERROR &&
                       ::WSAGetLastError() == WSAECONNREFUSED;
  ::closesocket(s);
  return refused;
}

// Asks `condition` every `poll` until it holds or `limit` has passed (2000
// times at most); its last answer.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds limit,
             std::chrono::milliseconds poll = std::chrono::milliseconds(50)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (int round = 0; round < 2000 && std::chrono::steady_clock::now() < end; ++round) {
    if (condition()) return true;
    std::this_thread::sleep_for(poll);
  }
  return condition();
}

}  // namespace wintest
