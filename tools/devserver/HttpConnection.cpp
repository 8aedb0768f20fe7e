#include "tools/devserver/HttpConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "protocol/Vocabulary.h"
#include "tools/devserver/Socket.h"

namespace devserver {

namespace {

using Clock = std::chrono::steady_clock;

// Enough of each request to name its script in the log.
constexpr std::size_t kHeadKept = 512;
// Framing a chunked body may add on top of its content.
constexpr std::size_t kChunkSlack = 64 * 1024;
// After an answer that left the body unread, how long to swallow it so
// that closing does not reset the connection before the peer reads.
constexpr auto kLinger = std::chrono::milliseconds(500);
constexpr std::size_t kLingerBytes = 4 << 20;

enum class Io { kReady, kEnd, kTimeout, kStop, kError };

std::string AddressText(const sockaddr_storage& address, int* port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    *port = ntohs(in6->sin6_port);
  } else if (address.ss_family == AF_INET) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    *port = ntohs(in4->sin_port);
  }
  return text;
}

class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int fd, SSL* ssl, int stopFd, const ConnectionLimits& limits)
      : fd_(fd), ssl_(ssl), stopFd_(stopFd), limits_(limits) {}

  bool Handshake(Clock::time_point deadline) {
    if (SSL_set_fd(ssl_, fd_) != 1) return false;
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
    // A peer that hangs up without close_notify has simply ended, as over
    // plain TCP; it is neither a failed handshake nor a broken request.
    SSL_set_options(ssl_, SSL_OP_IGNORE_UNEXPECTED_EOF);
#endif
    while (true) {
      ERR_clear_error();
      const int rc = SSL_accept(ssl_);
      if (rc == 1) return true;
      if (AwaitSsl(rc, deadline) != Io::kReady) return false;
    }
  }

  // True once a byte of the next request is at hand.
  bool WaitForRequest(Clock::time_point deadline) { return begin_ < end_ || Fill(deadline) == Io::kReady; }

  void BeginRequest(Clock::time_point deadline) {
    deadline_ = deadline;
    headDone_ = false;
    delivered_ = 0;
    head_.clear();
    cutOff_.clear();
  }
  void EndHead() {
    headDone_ = true;
    delivered_ = 0;
  }
  const std::string& cutOff() const { return cutOff_; }
  const std::string& head() const { return head_; }
  void CloseAfterAnswer() { closeAfterAnswer_ = true; }
  bool closeAfterAnswer() const { return closeAfterAnswer_; }

  // Ends TLS politely and, when the peer may still be sending a body we did
  // not read, swallows it for a moment so the answer is not lost to a reset.
  void Close() {
    if (ssl_ != nullptr && handshakeDone() && Await(POLLOUT, Clock::now()) == Io::kReady) {
      ERR_clear_error();
      SSL_shutdown(ssl_);
    }
    if (!closeAfterAnswer_) return;
    ::shutdown(fd_, SHUT_WR);
    const auto deadline = Clock::now() + kLinger;
    char discard[4096];
    for (std::size_t swallowed = 0; swallowed < kLingerBytes;) {
      const ssize_t n = ::recv(fd_, discard, sizeof discard, 0);
      if (n > 0) {
        swallowed += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (Await(POLLIN, deadline) != Io::kReady) return;
      } else {
        return;
      }
    }
  }

  bool is_readable() const override {
    return begin_ < end_ || (ssl_ != nullptr && SSL_pending(ssl_) > 0) ||
           Await(POLLIN, deadline_) == Io::kReady;
  }

  bool is_writable() const override {
    return cutOff_.empty() && Await(POLLOUT, Clock::now() + limits_.write) == Io::kReady;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (!cutOff_.empty()) return -1;
    if (begin_ == end_) {
      switch (Fill(deadline_)) {
        case Io::kReady:
          break;
        case Io::kEnd:
          return 0;
        case Io::kTimeout:
          cutOff_ = "request not complete within " + DescribeDuration(limits_.request);
          return -1;
        case Io::kStop:
          // Not the client's fault: no "bad request" for it.
          cutOff_ = "server stopping";
          return -1;
        default:
          return -1;
      }
    }
    const std::size_t limit = headDone_ ? limits_.bodyBytes + kChunkSlack : limits_.headBytes;
    std::size_t n = std::min(size, end_ - begin_);
    if (delivered_ + n > limit) {
      n = limit - delivered_;
      if (n == 0) {
        cutOff_ = headDone_ ? "request body over " + std::to_string(limits_.bodyBytes) + " bytes"
                            : "request head over " + std::to_string(limits_.headBytes) + " bytes";
        return -1;
      }
    }
    std::memcpy(ptr, buffer_ + begin_, n);
    if (head_.size() < kHeadKept) head_.append(buffer_ + begin_, std::min(n, kHeadKept - head_.size()));
    begin_ += n;
    delivered_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    // A request cut off gets no answer: its head may not even be complete.
    if (!cutOff_.empty()) return -1;
    if (size == 0) return 0;
    const auto deadline = Clock::now() + limits_.write;
    while (true) {
      if (ssl_ != nullptr) {
        ERR_clear_error();
        const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
        if (n > 0) return n;
        if (AwaitSsl(n, deadline) != Io::kReady) return -1;
      } else {
        // MSG_NOSIGNAL: a peer gone mid-answer must not raise SIGPIPE.
        const ssize_t n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        if (Await(POLLOUT, deadline) != Io::kReady) return -1;
      }
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    port = 0;
    if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      ip = AddressText(address, &port);
  }

  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    port = 0;
    if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      ip = AddressText(address, &port);
  }

  socket_t socket() const override { return fd_; }

 private:
  bool handshakeDone() const { return SSL_is_init_finished(ssl_) == 1; }

  // Waits until `fd_` is ready for `events`, the deadline passes or Stop
  // is asked for.
  Io Await(short events, Clock::time_point deadline) const {
    while (true) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd watched[2] = {{fd_, events, 0}, {stopFd_, POLLIN, 0}};
      const int rc =
          ::poll(watched, stopFd_ >= 0 ? 2 : 1, static_cast<int>(std::max<long long>(0, left + 1)));
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) return Io::kError;
      if (stopFd_ >= 0 && watched[1].revents != 0) return Io::kStop;
      if (watched[0].revents != 0) return Io::kReady;  // errors and hang-ups show on the next call
      if (Clock::now() >= deadline) return Io::kTimeout;
    }
  }

  // After an SSL call returned `rc`: waits for what it wants, or says why
  // it cannot go on.
  Io AwaitSsl(int rc, Clock::time_point deadline) const {
    switch (SSL_get_error(ssl_, rc)) {
      case SSL_ERROR_WANT_READ:
        return Await(POLLIN, deadline);
      case SSL_ERROR_WANT_WRITE:
        return Await(POLLOUT, deadline);
      case SSL_ERROR_ZERO_RETURN:
        return Io::kEnd;
      case SSL_ERROR_SYSCALL:
        return ERR_peek_error() == 0 && (rc == 0 || errno == 0) ? Io::kEnd : Io::kError;
      default:
        return Io::kError;
    }
  }

  // Reads whatever is there into the empty buffer, waiting until `deadline`.
  Io Fill(Clock::time_point deadline) {
    begin_ = end_ = 0;
    while (true) {
      if (ssl_ != nullptr) {
        ERR_clear_error();
        const int n = SSL_read(ssl_, buffer_, sizeof buffer_);
        if (n > 0) {
          end_ = static_cast<std::size_t>(n);
          return Io::kReady;
        }
        const Io io = AwaitSsl(n, deadline);
        if (io != Io::kReady) return io;
      } else {
        const ssize_t n = ::recv(fd_, buffer_, sizeof buffer_, 0);
        if (n > 0) {
          end_ = static_cast<std::size_t>(n);
          return Io::kReady;
        }
        if (n == 0) return Io::kEnd;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Io::kError;
        const Io io = Await(POLLIN, deadline);
        if (io != Io::kReady) return io;
      }
    }
  }

  const int fd_;
  SSL* const ssl_;
  const int stopFd_;
  const ConnectionLimits& limits_;
  char buffer_[4096];
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  Clock::time_point deadline_ = Clock::now();
  bool headDone_ = false;
  std::size_t delivered_ = 0;  // bytes of the head, or of the body once the head is done
  std::string head_;
  std::string cutOff_;  // why the current request was cut off; empty if it was not
  bool closeAfterAnswer_ = false;
};

thread_local ConnectionStream* tServing = nullptr;

struct ServingScope {
  explicit ServingScope(ConnectionStream* stream) { tServing = stream; }
  ~ServingScope() { tServing = nullptr; }
};

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

void Serve(int fd, SSL_CTX* tls, int stopFd, const ConnectionLimits& limits, const RequestProcessor& process,
           const UnservedLog& log) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return;
  std::unique_ptr<SSL, SslFree> ssl(tls != nullptr ? SSL_new(tls) : nullptr);
  if (tls != nullptr && ssl == nullptr) return;
  ConnectionStream stream(fd, ssl.get(), stopFd, limits);
  ServingScope scope(&stream);
  // A failed handshake made no request, so the request log does not show it.
  if (ssl != nullptr && !stream.Handshake(Clock::now() + limits.request)) return;
  for (std::size_t left = limits.requestsPerConnection; left > 0; --left) {
    if (!stream.WaitForRequest(Clock::now() + limits.idle)) break;
    stream.BeginRequest(Clock::now() + limits.request);
    bool closed = false;
    const bool answered =
        process(stream, left == 1, closed, [&stream](httplib::Request&) { stream.EndHead(); });
    if (!stream.cutOff().empty()) {
      if (log) log(ScriptOfRequestHead(stream.head()), "no response (" + stream.cutOff() + ")");
      break;
    }
    if (!answered || closed || stream.closeAfterAnswer()) break;
  }
  stream.Close();
}

}  // namespace

void ServeConnection(int fd, SSL_CTX* tls, int stopFd, const ConnectionLimits& limits,
                     const RequestProcessor& process, const UnservedLog& log) {
  UniqueFd owned(fd);
  try {
    Serve(fd, tls, stopFd, limits, process, log);
  } catch (const std::exception&) {
    // Out of memory, most likely: this connection ends, the server goes on.
  }
  ::shutdown(fd, SHUT_RDWR);
}

bool CurrentRequestCutOff() { return tServing != nullptr && !tServing->cutOff().empty(); }

void CloseAfterThisAnswer() {
  if (tServing != nullptr) tServing->CloseAfterAnswer();
}

std::string ScriptOfPath(const std::string& path) {
  static const std::string prefix = protocol::kScriptDirectory;
  constexpr std::size_t kShown = 80;
  std::string script = path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
  if (script.empty()) return "-";
  if (script.size() > kShown) script = script.substr(0, kShown) + "...";
  return script;
}

std::string ScriptOfRequestHead(const std::string& head) {
  const std::string line = head.substr(0, head.find_first_of("\r\n"));
  const std::string::size_type start = line.find(' ');
  if (start == std::string::npos) return "-";
  const std::string::size_type end = line.find_first_of(" ?", start + 1);
  return ScriptOfPath(line.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1));
}

std::string DescribeDuration(std::chrono::milliseconds duration) {
  if (duration.count() % 1000 == 0) return std::to_string(duration.count() / 1000) + " s";
  return std::to_string(duration.count()) + " ms";
}

}  // namespace devserver
