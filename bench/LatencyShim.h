// A loopback TCP relay that makes 127.0.0.1 look like a distant server: one
// listening port on 127.0.0.1, each accepted connection relayed to a target
// port on 127.0.0.1, every byte held for half the round-trip time in each
// direction. The kernel completes the client's TCP handshake at once, so
// the client's first bytes on a new connection are held one round trip
// more, as a real handshake would hold them. Byte order and half-close
// (a FIN after the last byte) are kept per direction; a reset is passed on
// after the bytes before it. No root and no system settings: one thread
// and ppoll, bounded in connections and queued bytes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace bench {

class LatencyShim {
 public:
  LatencyShim() = default;
  ~LatencyShim();
  LatencyShim(const LatencyShim&) = delete;
  LatencyShim& operator=(const LatencyShim&) = delete;

  // Binds and listens on 127.0.0.1 (a free port) without starting a thread,
  // so the port is known before a service that must name it is forked.
  bool Bind(std::string* error);
  int Port() const { return port_; }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
  // The listening descriptor, for a forked child to close.
  int ListenFd() const { return listenFd_; }

  // Receives, on the relay thread, the first bytes read in each direction
  // of every connection (way 0: client to target, 1: target to client),
  // e.g. to see which TLS handshake the two ends chose. Set before Start.
  using FirstBytesObserver = std::function<void(int way, const std::string& bytes)>;
  void SetFirstBytesObserver(FirstBytesObserver observer) { observer_ = std::move(observer); }

  // Starts relaying to 127.0.0.1:targetPort. Call after Bind; again after
  // Stop.
  bool Start(int targetPort, std::chrono::microseconds roundTrip, std::string* error);
  // Closes every relayed connection (both sides, as a FIN), as if the
  // network path had been torn down; new connections are still accepted.
  // Returns once the relay thread has done it.
  void CloseAll();
  // Ends the relay thread and closes every socket; safe to call twice.
  void Stop();

  // Connections accepted so far.
  std::size_t Connections() const { return accepted_.load(); }

 private:
  void Run();
  void Wake();

  int listenFd_ = -1;
  int wakeFd_ = -1;
  int port_ = 0;
  int targetPort_ = 0;
  std::chrono::microseconds roundTrip_{0};
  FirstBytesObserver observer_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<unsigned> closeAllRequests_{0};
  std::atomic<unsigned> closeAllDone_{0};
  std::atomic<std::size_t> accepted_{0};
};

}  // namespace bench
