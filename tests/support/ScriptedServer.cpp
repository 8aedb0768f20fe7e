#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

// Bounds that keep a confused test from hanging or eating memory.
constexpr std::size_t kMaxConnections = 256;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxRequestBody = 64 * 1024 * 1024;
constexpr auto kIoTimeout = std::chrono::seconds(10);

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int Release() { const int fd = fd_; fd_ = -1; return fd; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

enum class Wait { kReady, kStopped, kTimeout };

// Waits for `events` on `fd` (or only for the stop signal when fd < 0).
Wait WaitFor(int fd, short events, int wake, Clock::time_point deadline) {
  for (int round = 0; round < 100000; ++round) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Wait::kTimeout;
    pollfd fds[2] = {{wake, POLLIN, 0}, {fd, events, 0}};
    const int n = ::poll(fds, fd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (n < 0 && errno != EINTR) return Wait::kStopped;
    if (n <= 0) continue;
    if (fds[0].revents != 0) return Wait::kStopped;
    if (fd >= 0 && fds[1].revents != 0) return Wait::kReady;
  }
  return Wait::kTimeout;
}

bool SendAll(int fd, int wake, const char* data, std::size_t length) {
  const auto deadline = Clock::now() + kIoTimeout;
  while (length > 0) {
    const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      length -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd, POLLOUT, wake, deadline) != Wait::kReady) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool SendAll(int fd, int wake, const std::string& data) {
  return SendAll(fd, wake, data.data(), data.size());
}

// Reads one request: the header block, then a Content-Length body.
bool ReadRequest(int fd, int wake, RecordedRequest& request) {
  const auto deadline = Clock::now() + kIoTimeout;
  std::string data;
  std::size_t headerEnd = std::string::npos;
  std::size_t bodyLength = 0;
  char buffer[16384];
  for (;;) {
    if (headerEnd == std::string::npos) {
      headerEnd = data.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        std::size_t lineStart = 0;
        std::size_t lineEnd = data.find("\r\n");
        request.requestLine = data.substr(0, lineEnd);
        const std::size_t space1 = request.requestLine.find(' ');
        const std::size_t space2 = request.requestLine.find(' ', space1 + 1);
        if (space1 != std::string::npos && space2 != std::string::npos) {
          request.method = request.requestLine.substr(0, space1);
          request.target = request.requestLine.substr(space1 + 1, space2 - space1 - 1);
        }
        lineStart = lineEnd + 2;
        while (lineStart < headerEnd + 2) {
          lineEnd = data.find("\r\n", lineStart);
          const std::string line = data.substr(lineStart, lineEnd - lineStart);
          lineStart = lineEnd + 2;
          const std::size_t colon = line.find(':');
          if (colon == std::string::npos) continue;
          request.headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
        }
        const std::string length = request.Header("Content-Length");
        if (!length.empty()) {
          bodyLength = static_cast<std::size_t>(std::strtoull(length.c_str(), nullptr, 10));
          if (bodyLength > kMaxRequestBody) return false;
        }
      } else if (data.size() > kMaxHeaderBytes) {
        return false;
      }
    }
    if (headerEnd != std::string::npos && data.size() >= headerEnd + 4 + bodyLength) {
      request.body = data.substr(headerEnd + 4, bodyLength);
      return true;
    }
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      data.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got == 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (WaitFor(fd, POLLIN, wake, deadline) != Wait::kReady) return false;
  }
}

std::string StatusLine(int status, const std::string& reason) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
}

std::string HeaderBlock(const Script& script, const std::string& framing) {
  std::string text = StatusLine(script.status, script.reason);
  for (const auto& header : script.headers) text += header.first + ": " + header.second + "\r\n";
  text += framing;
  text += "Connection: close\r\n\r\n";
  return text;
}

std::string LengthHeader(std::uint64_t length) {
  return "Content-Length: " + std::to_string(length) + "\r\n";
}

void CloseWithReset(Fd& fd) {
  linger option{1, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &option, sizeof option);
  fd.Reset();
}

void CloseCleanly(Fd& fd) {
  ::shutdown(fd.get(), SHUT_WR);
  fd.Reset();
}

bool MakeAddress(const std::string& address, int port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (SameName(header.first, name)) return header.second;
  }
  return std::string();
}

bool RecordedRequest::HasHeader(const std::string& name) const { return HeaderCount(name) > 0; }

std::size_t RecordedRequest::HeaderCount(const std::string& name) const {
  return static_cast<std::size_t>(std::count_if(
      headers.begin(), headers.end(), [&](const auto& h) { return SameName(h.first, name); }));
}

Script Script::Respond(int status, std::string body) {
  Script script;
  script.status = status;
  script.reason = status == 200 ? "OK" : "Scripted";
  script.body = std::move(body);
  return script;
}

Script Script::Misbehave(Behaviour behaviour, std::string body, std::size_t partialBytes) {
  Script script;
  script.behaviour = behaviour;
  script.body = std::move(body);
  script.partialBytes = partialBytes;
  return script;
}

ScriptedServer::ScriptedServer(std::string address, Script fallback)
    : address_(std::move(address)), fallback_(std::move(fallback)) {}

ScriptedServer::~ScriptedServer() { Stop(); }

bool ScriptedServer::Start() {
  if (listener_ >= 0) return true;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];

  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address;
  if (listener.get() < 0 || !MakeAddress(address_, 0, address)) return false;
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 16) != 0) {
    return false;
  }
  socklen_t length = sizeof address;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  listener_ = listener.Release();
  thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void ScriptedServer::Stop() {
  if (wakeWrite_ >= 0) {
    const char byte = 1;
    (void)!::write(wakeWrite_, &byte, 1);  // stays readable: every later wait sees it
  }
  if (thread_.joinable()) thread_.join();
  for (int* fd : {&listener_, &wakeRead_, &wakeWrite_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void ScriptedServer::Enqueue(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back(std::move(script));
}

void ScriptedServer::SetFallback(Script script) {
  std::lock_guard<std::mutex> lock(mutex_);
  fallback_ = std::move(script);
}

std::vector<RecordedRequest> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

Script ScriptedServer::NextScript() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return fallback_;
  Script script = std::move(queue_.front());
  queue_.pop_front();
  return script;
}

void ScriptedServer::AcceptLoop() {
  while (connections_.load() < kMaxConnections) {
    const auto deadline = Clock::now() + std::chrono::hours(1);
    if (WaitFor(listener_, POLLIN, wakeRead_, deadline) != Wait::kReady) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) continue;
    ++connections_;
    Serve(fd);
  }
}

void ScriptedServer::Serve(int rawFd) {
  Fd fd(rawFd);
  const int wake = wakeRead_;
  RecordedRequest request;
  if (!ReadRequest(fd.get(), wake, request)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  const Script script = NextScript();
  const std::string& body = script.body;
  const std::size_t partial = std::min(script.partialBytes, body.size());

  switch (script.behaviour) {
    case Behaviour::kRespond: {
      const std::string framing = script.closeDelimited ? "" : LengthHeader(body.size());
      if (SendAll(fd.get(), wake, HeaderBlock(script, framing))) SendAll(fd.get(), wake, body);
      CloseCleanly(fd);
      return;
    }
    case Behaviour::kAcceptAndClose:
      CloseCleanly(fd);
      return;
    case Behaviour::kSilent:
      if (WaitFor(-1, 0, wake, Clock::now() + std::chrono::milliseconds(script.stallMs)) ==
              Wait::kTimeout &&
          SendAll(fd.get(), wake, HeaderBlock(script, LengthHeader(body.size())))) {
        SendAll(fd.get(), wake, body);
      }
      CloseCleanly(fd);
      return;
    case Behaviour::kStallMidBody:
      if (SendAll(fd.get(), wake, HeaderBlock(script, LengthHeader(body.size()))) &&
          SendAll(fd.get(), wake, body.data(), partial) &&
          WaitFor(-1, 0, wake, Clock::now() + std::chrono::milliseconds(script.stallMs)) ==
              Wait::kTimeout) {
        SendAll(fd.get(), wake, body.data() + partial, body.size() - partial);
      }
      CloseCleanly(fd);
      return;
    case Behaviour::kCloseMidBody:
      if (SendAll(fd.get(), wake, HeaderBlock(script, LengthHeader(body.size())))) {
        SendAll(fd.get(), wake, body.data(), partial);
      }
      CloseCleanly(fd);
      return;
    case Behaviour::kResetMidBody:
      if (SendAll(fd.get(), wake, HeaderBlock(script, LengthHeader(body.size())))) {
        SendAll(fd.get(), wake, body.data(), partial);
      }
      // Give the bytes a moment to leave before the reset discards the queue.
      WaitFor(-1, 0, wake, Clock::now() + std::chrono::milliseconds(50));
      CloseWithReset(fd);
      return;
    case Behaviour::kBrokenChunked: {
      std::string framed = HeaderBlock(script, "Transfer-Encoding: chunked\r\n");
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", partial);
      framed += size + body.substr(0, partial) + "\r\n";
      framed += "zz-not-a-size\r\n" + body.substr(partial) + "\r\n0\r\n\r\n";
      SendAll(fd.get(), wake, framed);
      CloseCleanly(fd);
      return;
    }
    case Behaviour::kRedirectLoop: {
      Script redirect = script;
      redirect.status = 302;
      redirect.reason = "Found";
      redirect.headers.emplace_back("Location", request.target);
      SendAll(fd.get(), wake, HeaderBlock(redirect, LengthHeader(0)));
      CloseCleanly(fd);
      return;
    }
    case Behaviour::kHugeBody: {
      Script huge = script;
      huge.status = 200;
      huge.reason = "OK";
      if (SendAll(fd.get(), wake, HeaderBlock(huge, LengthHeader(script.hugeBytes)))) {
        const std::string chunk(64 * 1024, 'x');
        std::uint64_t left = script.hugeBytes;
        while (left > 0) {
          const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
          if (!SendAll(fd.get(), wake, chunk.data(), n)) break;
          left -= n;
        }
      }
      CloseCleanly(fd);
      return;
    }
    case Behaviour::kTrickle:
      if (SendAll(fd.get(), wake, HeaderBlock(script, LengthHeader(body.size())))) {
        for (char c : body) {
          if (!SendAll(fd.get(), wake, &c, 1)) break;
          if (WaitFor(-1, 0, wake, Clock::now() + std::chrono::milliseconds(script.intervalMs)) ==
              Wait::kStopped) {
            break;
          }
        }
      }
      CloseCleanly(fd);
      return;
    case Behaviour::kRaw:
      SendAll(fd.get(), wake, script.raw);
      CloseCleanly(fd);
      return;
  }
}

int ReserveClosedPort(const std::string& address) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in bound;
  if (fd.get() < 0 || !MakeAddress(address, 0, bound)) return 0;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) return 0;
  socklen_t length = sizeof bound;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return ntohs(bound.sin_port);
}

}  // namespace testsupport
