#include "bench/LatencyShim.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds: the benchmarks open a handful of connections at once and move a
// few hundred kilobytes; beyond these the shim refuses or stops reading.
constexpr std::size_t kMaxConnections = 256;
constexpr std::size_t kMaxQueuedBytes = 8u << 20;  // per direction
constexpr std::size_t kReadBytes = 64u << 10;
constexpr int kCloseAllWaitMs = 5000;

// What travels one way: bytes, then possibly the end (FIN) or a reset, each
// released at its own time.
struct Chunk {
  enum Kind { kBytes, kEnd, kReset } kind = kBytes;
  Clock::time_point due;
  std::string bytes;
  std::size_t sent = 0;
};

struct Direction {
  std::deque<Chunk> queue;
  std::size_t queuedBytes = 0;
  bool sourceDone = false;  // end or reset read from the source
  bool shutDown = false;    // end delivered: write side of the sink shut
  bool blocked = false;     // the sink took no more; wait for POLLOUT
  bool observed = false;    // the first bytes went to the observer
};

// fd[0] is the client, fd[1] the target; way[0] runs client to target,
// way[1] target to client.
struct Connection {
  int fd[2] = {-1, -1};
  Direction way[2];
  Clock::time_point acceptedAt;
  bool connecting = true;  // the connect to the target is in progress
  bool dead = false;

  ~Connection() {
    for (int& f : fd) {
      if (f >= 0) ::close(f);
      f = -1;
    }
  }
};

void SetNoDelay(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Closing with SO_LINGER 0 sends a reset instead of a FIN.
void Abort(Connection& connection) {
  const linger hard{1, 0};
  for (int& f : connection.fd) {
    if (f < 0) continue;
    ::setsockopt(f, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(f);
    f = -1;
  }
  connection.dead = true;
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

LatencyShim::~LatencyShim() {
  Stop();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
}

bool LatencyShim::Bind(std::string* error) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listenFd_, 64) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = std::string("shim cannot listen: ") + std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

bool LatencyShim::Start(int targetPort, std::chrono::microseconds roundTrip, std::string* error) {
  if (listenFd_ < 0 || thread_.joinable()) {
    *error = "shim not bound, or started twice";
    return false;
  }
  wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    *error = "eventfd failed";
    return false;
  }
  targetPort_ = targetPort;
  roundTrip_ = roundTrip;
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void LatencyShim::Wake() {
  const uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);
}

void LatencyShim::CloseAll() {
  if (!thread_.joinable()) return;
  const unsigned ticket = ++closeAllRequests_;
  Wake();
  for (int waited = 0; waited < kCloseAllWaitMs && closeAllDone_.load() < ticket; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void LatencyShim::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    Wake();
    thread_.join();
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
}

void LatencyShim::Run() {
  std::vector<std::unique_ptr<Connection>> connections;
  const auto half = roundTrip_ / 2;
  std::vector<pollfd> polled;
  // Which connection and side each polled entry past the first two is.
  std::vector<std::pair<Connection*, int>> owners;

  // Sends what is due on `way` from its sink's point of view; false when the
  // connection must end.
  auto flush = [](Connection& c, int w, Clock::time_point now) {
    Direction& way = c.way[w];
    const int sink = c.fd[1 - w];
    if (w == 0 && c.connecting) return true;
    while (!way.queue.empty() && way.queue.front().due <= now) {
      Chunk& chunk = way.queue.front();
      if (chunk.kind == Chunk::kReset) return false;
      if (chunk.kind == Chunk::kEnd) {
        ::shutdown(sink, SHUT_WR);
        way.shutDown = true;
        way.queue.pop_front();
        continue;
      }
      const ssize_t n = ::send(sink, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent,
                               MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        way.blocked = true;
        return true;
      }
      if (n < 0) return false;
      chunk.sent += static_cast<std::size_t>(n);
      way.queuedBytes -= static_cast<std::size_t>(n);
      if (chunk.sent < chunk.bytes.size()) {
        way.blocked = true;
        return true;
      }
      way.queue.pop_front();
    }
    way.blocked = false;
    return true;
  };

  // Reads what the source of `way` has, queued for release after the delay.
  auto take = [&](Connection& c, int w, Clock::time_point now) {
    Direction& way = c.way[w];
    // Toward the target nothing may arrive before the handshake's round trip.
    const Clock::time_point sent = w == 0 ? std::max(now, c.acceptedAt + roundTrip_) : now;
    Chunk chunk;
    chunk.due = sent + half;
    std::string buffer(kReadBytes, '\0');
    const ssize_t n = ::recv(c.fd[w], buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n > 0) {
      buffer.resize(static_cast<std::size_t>(n));
      if (!way.observed && observer_) observer_(w, buffer);
      way.observed = true;
      chunk.bytes = std::move(buffer);
      way.queuedBytes += chunk.bytes.size();
    } else {
      chunk.kind = n == 0 ? Chunk::kEnd : Chunk::kReset;
      way.sourceDone = true;
    }
    way.queue.push_back(std::move(chunk));
  };

  unsigned closeAllSeen = closeAllDone_.load();
  while (!stop_.load()) {
    const Clock::time_point now = Clock::now();
    const unsigned closeAllWanted = closeAllRequests_.load();
    if (closeAllWanted != closeAllSeen) {
      connections.clear();  // ~Connection closes both sides with a FIN
      closeAllSeen = closeAllWanted;
      closeAllDone_ = closeAllWanted;
    }
    // Release what is due; drop connections that are over.
    for (auto& c : connections) {
      for (int w = 0; w < 2 && !c->dead; ++w) {
        if (!flush(*c, w, now)) Abort(*c);
      }
      if (!c->dead && c->way[0].shutDown && c->way[1].shutDown) c->dead = true;
    }
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const std::unique_ptr<Connection>& c) { return c->dead; }),
                      connections.end());

    // What to wait for, and until when.
    polled.clear();
    owners.clear();
    polled.push_back({wakeFd_, POLLIN, 0});
    polled.push_back({connections.size() < kMaxConnections ? listenFd_ : -1, POLLIN, 0});
    Clock::time_point wakeAt = now + std::chrono::seconds(1);
    for (auto& c : connections) {
      for (int side = 0; side < 2; ++side) {
        // Side s is the source of way s and the sink of way 1 - s.
        const Direction& out = c->way[side];
        const Direction& in = c->way[1 - side];
        short events = 0;
        if (!out.sourceDone && out.queuedBytes < kMaxQueuedBytes && !(side == 1 && c->connecting)) {
          events |= POLLIN;
        }
        if ((side == 1 && c->connecting) || in.blocked) events |= POLLOUT;
        polled.push_back({events != 0 ? c->fd[side] : -1, events, 0});
        owners.emplace_back(c.get(), side);
      }
      for (int w = 0; w < 2; ++w) {
        const Direction& way = c->way[w];
        if (way.queue.empty() || way.blocked || (w == 0 && c->connecting)) continue;
        wakeAt = std::min(wakeAt, way.queue.front().due);
      }
    }
    const auto wait = std::max(std::chrono::nanoseconds(0),
                               std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - now));
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                           static_cast<long>(wait.count() % 1000000000)};
    if (::ppoll(polled.data(), polled.size(), &timeout, nullptr) < 0 && errno != EINTR) break;

    if (polled[0].revents != 0) {
      uint64_t count;
      (void)!::read(wakeFd_, &count, sizeof count);
    }
    const Clock::time_point seen = Clock::now();
    for (std::size_t i = 2; i < polled.size(); ++i) {
      if (polled[i].fd < 0 || polled[i].revents == 0) continue;
      Connection& c = *owners[i - 2].first;
      const int side = owners[i - 2].second;
      if (c.dead) continue;
      if (side == 1 && c.connecting) {
        int failure = 0;
        socklen_t length = sizeof failure;
        ::getsockopt(c.fd[1], SOL_SOCKET, SO_ERROR, &failure, &length);
        if (failure != 0) {
          Abort(c);
          continue;
        }
        c.connecting = false;
        continue;
      }
      if ((polled[i].events & POLLIN) != 0 && (polled[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        take(c, side, seen);
      }
      if ((polled[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) c.way[1 - side].blocked = false;
    }
    // New connections, each with its own connect to the target.
    if (polled[1].fd >= 0 && (polled[1].revents & POLLIN) != 0) {
      for (int i = 0; i < 16 && connections.size() < kMaxConnections; ++i) {
        const int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) break;
        ++accepted_;
        auto c = std::make_unique<Connection>();
        c->fd[0] = client;
        c->acceptedAt = seen;
        c->fd[1] = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const sockaddr_in target = Loopback(targetPort_);
        if (c->fd[1] < 0 ||
            (::connect(c->fd[1], reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
             errno != EINPROGRESS)) {
          Abort(*c);
          continue;
        }
        SetNoDelay(c->fd[0]);
        SetNoDelay(c->fd[1]);
        connections.push_back(std::move(c));
      }
    }
  }
  connections.clear();
  // A CloseAll that raced with Stop must not wait its full bound.
  closeAllDone_ = closeAllRequests_.load();
}

}  // namespace bench
