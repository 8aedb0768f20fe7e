#include "support/ScriptedServer.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif
#if defined(TESTSUPPORT_TLS)
#include <openssl/ssl.h>
#endif

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
constexpr std::size_t kMaxConnections = 2048;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxRequestBody = 64 * 1024 * 1024;
constexpr auto kIoTimeout = std::chrono::seconds(10);

// ---- the little that differs between BSD sockets and Winsock ----------------
#if defined(_WIN32)
using Native = SOCKET;
const Native kInvalid = INVALID_SOCKET;
constexpr int kSendFlags = 0;  // no SIGPIPE to suppress
int LastError() { return ::WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
bool Interrupted(int error) { return error == WSAEINTR; }
void CloseNative(Native socket) { ::closesocket(socket); }
int PollNative(pollfd* fds, unsigned count, int milliseconds) { return ::WSAPoll(fds, count, milliseconds); }
bool SetNonBlocking(Native socket) {
  u_long on = 1;
  return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}
// Winsock needs starting once per process; it stays up until the end.
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
#else
using Native = int;
const Native kInvalid = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;
int LastError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool Interrupted(int error) { return error == EINTR; }
void CloseNative(Native socket) { ::close(socket); }
int PollNative(pollfd* fds, unsigned count, int milliseconds) { return ::poll(fds, count, milliseconds); }
bool SetNonBlocking(Native socket) {
  const int flags = ::fcntl(socket, F_GETFL);
  return flags >= 0 && ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool StartSockets() { return true; }
#endif

Native ToNative(std::intptr_t handle) { return handle == -1 ? kInvalid : static_cast<Native>(handle); }
std::intptr_t ToHandle(Native socket) { return socket == kInvalid ? -1 : static_cast<std::intptr_t>(socket); }

Native NewStreamSocket() {
  if (!StartSockets()) return kInvalid;
#if defined(_WIN32)
  return ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
}

class Fd {
 public:
  explicit Fd(Native fd = kInvalid) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Native get() const { return fd_; }
  bool valid() const { return fd_ != kInvalid; }
  Native Release() {
    const Native fd = fd_;
    fd_ = kInvalid;
    return fd;
  }
  void Reset(Native fd = kInvalid) {
    if (fd_ != kInvalid) CloseNative(fd_);
    fd_ = fd;
  }

 private:
  Native fd_;
};

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
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

// Waits for `events` on `fd` (or only for the stop signal when fd is
// invalid).
Wait WaitFor(Native fd, short events, Native wake, Clock::time_point deadline) {
  for (int round = 0; round < 100000; ++round) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Wait::kTimeout;
    pollfd fds[2] = {};
    fds[0].fd = wake;
    fds[0].events = POLLIN;
    fds[1].fd = fd;
    fds[1].events = events;
    const int n = PollNative(fds, fd != kInvalid ? 2 : 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (n < 0 && !Interrupted(LastError())) return Wait::kStopped;
    if (n <= 0) continue;
    if (fds[0].revents != 0) return Wait::kStopped;
    if (fd != kInvalid && fds[1].revents != 0) return Wait::kReady;
  }
  return Wait::kTimeout;
}

// One accepted connection, in clear text or under TLS. Every wait also
// watches the stop signal.
class Channel {
 public:
  Channel(Native fd, Native wake) : fd_(fd), wake_(wake) {}
  ~Channel() {
#if defined(TESTSUPPORT_TLS)
    if (ssl_ != nullptr) SSL_free(ssl_);
#endif
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  Native fd() const { return fd_; }
  Native wake() const { return wake_; }

#if defined(TESTSUPPORT_TLS)
  // The server side of a handshake, after `delayMs` once the client's hello
  // is in; false when it failed (a client that refused the certificate).
  bool Handshake(SSL_CTX* context, int delayMs) {
    const auto deadline = Clock::now() + kIoTimeout;
    if (delayMs > 0 &&
        (WaitFor(fd_, POLLIN, wake_, deadline) != Wait::kReady ||
         WaitFor(kInvalid, 0, wake_, Clock::now() + std::chrono::milliseconds(delayMs)) != Wait::kTimeout)) {
      return false;
    }
    ssl_ = SSL_new(context);
    if (ssl_ == nullptr || SSL_set_fd(ssl_, static_cast<int>(fd_)) != 1) return false;
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    for (;;) {
      const int rc = SSL_accept(ssl_);
      if (rc == 1) return true;
      if (!AwaitTls(rc, deadline)) return false;
    }
  }
  // The client resumed an earlier TLS session.
  bool Resumed() const { return ssl_ != nullptr && SSL_session_reused(ssl_) == 1; }
#endif

  // Bytes read (> 0), 0 at the peer's end, -1 on failure, stop or deadline.
  long Read(char* buffer, std::size_t size, Clock::time_point deadline) {
    for (;;) {
#if defined(TESTSUPPORT_TLS)
      if (ssl_ != nullptr) {
        const int got = SSL_read(ssl_, buffer, static_cast<int>(size));
        if (got > 0) return got;
        if (SSL_get_error(ssl_, got) == SSL_ERROR_ZERO_RETURN) return 0;
        if (!AwaitTls(got, deadline)) return -1;
        continue;
      }
#endif
      const auto got = ::recv(fd_, buffer, static_cast<int>(size), 0);
      if (got > 0) return static_cast<long>(got);
      if (got == 0) return 0;
      const int error = LastError();
      if (Interrupted(error)) continue;
      if (!WouldBlock(error) || WaitFor(fd_, POLLIN, wake_, deadline) != Wait::kReady) return -1;
    }
  }

  // All of `data`, within the I/O bound; false when the client went away.
  bool Write(const char* data, std::size_t length) {
    const auto deadline = Clock::now() + kIoTimeout;
    while (length > 0) {
      const int piece = static_cast<int>(std::min<std::size_t>(length, 1 << 20));
#if defined(TESTSUPPORT_TLS)
      if (ssl_ != nullptr) {
        const int sent = SSL_write(ssl_, data, std::min(piece, 16384));
        if (sent > 0) {
          data += sent;
          length -= static_cast<std::size_t>(sent);
        } else if (!AwaitTls(sent, deadline)) {
          return false;
        }
        continue;
      }
#endif
      const auto sent = ::send(fd_, data, piece, kSendFlags);
      if (sent > 0) {
        data += sent;
        length -= static_cast<std::size_t>(sent);
        continue;
      }
      if (sent < 0 && Interrupted(LastError())) continue;
      if (sent < 0 && WouldBlock(LastError()) && WaitFor(fd_, POLLOUT, wake_, deadline) == Wait::kReady) {
        continue;
      }
      return false;
    }
    return true;
  }
  bool Write(const std::string& data) { return Write(data.data(), data.size()); }

  // Ends the answer: TLS says so first, then the sending side is shut.
  void CloseCleanly() {
#if defined(TESTSUPPORT_TLS)
    if (ssl_ != nullptr) SSL_shutdown(ssl_);
#endif
#if defined(_WIN32)
    ::shutdown(fd_, SD_SEND);
#else
    ::shutdown(fd_, SHUT_WR);
#endif
  }

  // A reset discards what is still queued and tells the client at once.
  void PrepareReset() {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
  }

 private:
#if defined(TESTSUPPORT_TLS)
  // Waits for what OpenSSL asked for after `rc`; false on any other error.
  bool AwaitTls(int rc, Clock::time_point deadline) {
    const int error = SSL_get_error(ssl_, rc);
    const short events = error == SSL_ERROR_WANT_READ ? POLLIN : error == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
    return events != 0 && WaitFor(fd_, events, wake_, deadline) == Wait::kReady;
  }

  SSL* ssl_ = nullptr;
#endif
  Native fd_;
  Native wake_;
};

// Reads one request: the header block, then a Content-Length body.
bool ReadRequest(Channel& channel, RecordedRequest& request, Clock::time_point deadline) {
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
    const long got = channel.Read(buffer, sizeof buffer, deadline);
    if (got <= 0) return false;
    data.append(buffer, static_cast<std::size_t>(got));
  }
}

// One byte every `intervalMs`, until all is sent or the server stops.
void Trickle(Channel& channel, const std::string& data, int intervalMs) {
  for (char c : data) {
    if (!channel.Write(&c, 1)) return;
    if (WaitFor(kInvalid, 0, channel.wake(), Clock::now() + std::chrono::milliseconds(intervalMs)) ==
        Wait::kStopped) {
      return;
    }
  }
}

bool Pause(const Channel& channel, int milliseconds) {
  return WaitFor(kInvalid, 0, channel.wake(), Clock::now() + std::chrono::milliseconds(milliseconds)) ==
         Wait::kTimeout;
}

std::string StatusLine(int status, const std::string& reason) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
}

std::string HeaderBlock(const Script& script, const std::string& framing, bool keepAlive = false) {
  std::string text = StatusLine(script.status, script.reason);
  for (const auto& header : script.headers) text += header.first + ": " + header.second + "\r\n";
  text += framing;
  text += keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
  return text;
}

std::string LengthHeader(std::uint64_t length) {
  return "Content-Length: " + std::to_string(length) + "\r\n";
}

bool MakeAddress(const std::string& address, int port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

// Two connected ends: writing a byte to `writeEnd` makes `readEnd` readable
// for every later poll. A pipe on POSIX; Winsock polls sockets only, so
// there it is a loopback connection.
bool MakeWakePair(Fd& readEnd, Fd& writeEnd) {
#if defined(_WIN32)
  Fd listener(NewStreamSocket());
  sockaddr_in address;
  if (!listener.valid() || !MakeAddress("127.0.0.1", 0, address)) return false;
  int length = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  Fd client(NewStreamSocket());
  if (!client.valid() ||
      ::connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  Fd server(::accept(listener.get(), nullptr, nullptr));
  if (!server.valid() || !SetNonBlocking(server.get()) || !SetNonBlocking(client.get())) {
    return false;
  }
  readEnd.Reset(server.Release());
  writeEnd.Reset(client.Release());
  return true;
#else
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  readEnd.Reset(pipeFds[0]);
  writeEnd.Reset(pipeFds[1]);
  return true;
#endif
}

void Wake(Native writeEnd) {
#if defined(_WIN32)
  const char byte = 1;
  ::send(writeEnd, &byte, 1, 0);
#else
  const char byte = 1;
  (void)!::write(writeEnd, &byte, 1);
#endif
}

}  // namespace

struct ScriptedServer::Tls {
#if defined(TESTSUPPORT_TLS)
  std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> context{nullptr, SSL_CTX_free};
#endif
  int handshakeDelayMs = 0;
};

std::string RecordedRequest::Header(const std::string& name) const {
  for (const auto& header : headers) {
    if (SameName(header.first, name)) return header.second;
  }
  return std::string();
}

bool RecordedRequest::HasHeader(const std::string& name) const { return HeaderCount(name) > 0; }

std::size_t RecordedRequest::HeaderCount(const std::string& name) const {
  return static_cast<std::size_t>(
      std::count_if(headers.begin(), headers.end(), [&](const auto& h) { return SameName(h.first, name); }));
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

bool ScriptedServer::UseTls(const std::string& certificateFile, const std::string& privateKeyFile,
                            int handshakeDelayMs) {
#if defined(TESTSUPPORT_TLS)
  auto tls = std::make_shared<Tls>();
  tls->context.reset(SSL_CTX_new(TLS_server_method()));
  tls->handshakeDelayMs = handshakeDelayMs;
  SSL_CTX* context = tls->context.get();
  if (context == nullptr || SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, privateKeyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    return false;
  }
  tls_ = std::move(tls);
  return true;
#else
  (void)certificateFile;
  (void)privateKeyFile;
  (void)handshakeDelayMs;
  return false;
#endif
}

void ScriptedServer::OfferHttp2() {
#if defined(TESTSUPPORT_TLS)
  if (!tls_) return;
  SSL_CTX_set_alpn_select_cb(
      tls_->context.get(),
      [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
         unsigned int inLength, void*) {
        static const unsigned char kPreferred[] = "\x02h2\x08http/1.1";
        unsigned char* selected = nullptr;
        if (SSL_select_next_proto(&selected, outLength, kPreferred, sizeof kPreferred - 1, in, inLength) !=
            OPENSSL_NPN_NEGOTIATED) {
          return SSL_TLSEXT_ERR_NOACK;
        }
        *out = selected;
        return SSL_TLSEXT_ERR_OK;
      },
      nullptr);
#endif
}

bool ScriptedServer::Start() {
  if (listener_ != -1) return true;
  Fd wakeRead, wakeWrite;
  if (!MakeWakePair(wakeRead, wakeWrite)) return false;

  Fd listener(NewStreamSocket());
  sockaddr_in address;
  if (!listener.valid() || !MakeAddress(address_, 0, address)) return false;
#if !defined(_WIN32)
  // (On Windows the option would let another socket take the port over.)
  const int on = 1;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 16) != 0) {
    return false;
  }
  socklen_t length = sizeof address;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  listener_ = ToHandle(listener.Release());
  wakeRead_ = ToHandle(wakeRead.Release());
  wakeWrite_ = ToHandle(wakeWrite.Release());
  thread_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void ScriptedServer::Stop() {
  // The byte is never read, so every later wait sees it too.
  if (wakeWrite_ != -1) Wake(ToNative(wakeWrite_));
  if (thread_.joinable()) thread_.join();
  for (Handle* handle : {&listener_, &wakeRead_, &wakeWrite_}) {
    if (*handle != -1) CloseNative(ToNative(*handle));
    *handle = -1;
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

void ScriptedServer::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

std::vector<RecordedRequest> ScriptedServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

Script ScriptedServer::NextScript(const RecordedRequest& request) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (responder_) {
    const Responder responder = responder_;
    lock.unlock();
    return responder(request);
  }
  if (queue_.empty()) return fallback_;
  Script script = std::move(queue_.front());
  queue_.pop_front();
  return script;
}

void ScriptedServer::AcceptLoop() {
#if !defined(_WIN32)
  // OpenSSL writes without MSG_NOSIGNAL: a client that hangs up must cost
  // this thread a failed write, never the process a SIGPIPE.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
#endif
  const Native listener = ToNative(listener_);
  while (connections_.load() < kMaxConnections) {
    const auto deadline = Clock::now() + std::chrono::hours(1);
    if (WaitFor(listener, POLLIN, ToNative(wakeRead_), deadline) != Wait::kReady) return;
#if defined(_WIN32)
    Fd accepted(::accept(listener, nullptr, nullptr));
#else
    Fd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
#endif
    if (!accepted.valid() || !SetNonBlocking(accepted.get())) continue;
    ++connections_;
    Serve(ToHandle(accepted.Release()));
  }
}

void ScriptedServer::KeepAlive(std::size_t requestsPerConnection, int idleMs) {
  keepAliveIdleMs_ = idleMs;
  keepAliveRequests_ = requestsPerConnection;
}

void ScriptedServer::Serve(Handle socket) {
  Fd fd(ToNative(socket));
  Channel channel(fd.get(), ToNative(wakeRead_));
#if defined(TESTSUPPORT_TLS)
  if (tls_ && !channel.Handshake(tls_->context.get(), tls_->handshakeDelayMs)) return;
  if (tls_ && channel.Resumed()) ++resumed_;
#endif
  RecordedRequest request;
  if (!ReadRequest(channel, request, Clock::now() + kIoTimeout)) return;
  Script script;
  // Kept alive: plain answers one after the other on this connection, each
  // next request waited for at most the idle bound.
  for (std::size_t served = 1;; ++served) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    script = NextScript(request);
    const std::size_t keepAlive = keepAliveRequests_.load();
    if (keepAlive == 0 || script.behaviour != Behaviour::kRespond || script.closeDelimited) break;
    if (!channel.Write(HeaderBlock(script, LengthHeader(script.body.size()), true)) ||
        !channel.Write(script.body) || served >= keepAlive) {
      return;
    }
    request = RecordedRequest();
    if (!ReadRequest(channel, request, Clock::now() + std::chrono::milliseconds(keepAliveIdleMs_.load())))
      return;
  }
  const std::string& body = script.body;
  const std::size_t partial = std::min(script.partialBytes, body.size());
  const std::string announced = HeaderBlock(script, LengthHeader(body.size()));

  switch (script.behaviour) {
    case Behaviour::kRespond:
      if (channel.Write(HeaderBlock(script, script.closeDelimited ? "" : LengthHeader(body.size())))) {
        channel.Write(body);
      }
      break;
    case Behaviour::kAcceptAndClose:
      break;
    case Behaviour::kSilent:
      if (Pause(channel, script.stallMs) && channel.Write(announced)) channel.Write(body);
      break;
    case Behaviour::kStallMidBody:
      if (channel.Write(announced) && channel.Write(body.data(), partial) && Pause(channel, script.stallMs)) {
        channel.Write(body.data() + partial, body.size() - partial);
      }
      break;
    case Behaviour::kCloseMidBody:
      if (channel.Write(announced)) channel.Write(body.data(), partial);
      break;
    case Behaviour::kResetMidBody:
      if (channel.Write(announced)) channel.Write(body.data(), partial);
      // Give the bytes a moment to leave before the reset discards the queue.
      Pause(channel, 50);
      channel.PrepareReset();
      return;
    case Behaviour::kBrokenChunked: {
      std::string framed = HeaderBlock(script, "Transfer-Encoding: chunked\r\n");
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", partial);
      framed += size + body.substr(0, partial) + "\r\n";
      framed += "zz-not-a-size\r\n" + body.substr(partial) + "\r\n0\r\n\r\n";
      channel.Write(framed);
      break;
    }
    case Behaviour::kRedirectLoop: {
      Script redirect = script;
      redirect.status = 302;
      redirect.reason = "Found";
      redirect.headers.emplace_back("Location", request.target);
      channel.Write(HeaderBlock(redirect, LengthHeader(0)));
      break;
    }
    case Behaviour::kHugeBody: {
      const Script& huge = script;
      if (script.hugeHeaders) {
        // The headers never end: 1 KiB lines, 64 to a write.
        std::string lines;
        for (int i = 0; i < 64; ++i) lines += "X-Filler: " + std::string(1012, 'h') + "\r\n";
        if (!channel.Write(StatusLine(script.status, script.reason))) break;
        for (std::uint64_t sent = 0; sent < script.hugeBytes && channel.Write(lines); sent += lines.size()) {
          hugeBytesSent_ += lines.size();
        }
        break;
      }
      const std::string framing = script.chunked          ? "Transfer-Encoding: chunked\r\n"
                                  : script.closeDelimited ? ""
                                                          : LengthHeader(script.hugeBytes);
      if (!channel.Write(HeaderBlock(huge, framing))) break;
      // Valid reply framing at the front, so nothing but the size gives it away.
      std::string chunk(64 * 1024, 'x');
      chunk.replace(0, 2, "Z=");
      for (std::uint64_t left = script.hugeBytes; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        if ((script.chunked && !channel.Write(size)) || !channel.Write(chunk.data(), n) ||
            (script.chunked && !channel.Write("\r\n"))) {
          break;
        }
        hugeBytesSent_ += n;
        left -= n;
        chunk.replace(0, 2, "xx");
      }
      if (script.chunked) channel.Write("0\r\n\r\n");
      break;
    }
    case Behaviour::kTrickle:
      if (channel.Write(announced)) Trickle(channel, body, script.intervalMs);
      break;
    case Behaviour::kTrickleHeaders:
      Trickle(channel, announced + body, script.intervalMs);
      break;
    case Behaviour::kRaw:
      channel.Write(script.raw);
      break;
  }
  channel.CloseCleanly();
}

int ReserveClosedPort(const std::string& address) {
  Fd fd(NewStreamSocket());
  sockaddr_in bound;
  if (!fd.valid() || !MakeAddress(address, 0, bound)) return 0;
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) return 0;
  socklen_t length = sizeof bound;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
  return ntohs(bound.sin_port);
}

UnacceptingListener::UnacceptingListener(std::string address) : address_(std::move(address)) {}

UnacceptingListener::~UnacceptingListener() { Close(); }

void UnacceptingListener::Close() {
  for (std::intptr_t filler : fillers_) CloseNative(ToNative(filler));
  fillers_.clear();
  if (listener_ != -1) CloseNative(ToNative(listener_));
  listener_ = -1;
}

bool UnacceptingListener::Start() {
  if (listener_ != -1) return true;
  Fd listener(NewStreamSocket());
  sockaddr_in address;
  if (!listener.valid() || !MakeAddress(address_, 0, address)) return false;
  socklen_t length = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.get(), 0) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  listener_ = ToHandle(listener.Release());

  // Connections complete into the queue until it is full; the first one
  // still hanging after a while shows that SYNs are now dropped.
  constexpr int kMaxFillers = 16;
  constexpr auto kSettle = std::chrono::milliseconds(300);
  for (int i = 0; i < kMaxFillers; ++i) {
    Fd filler(NewStreamSocket());
    if (!filler.valid() || !SetNonBlocking(filler.get())) break;
    const int rc = ::connect(filler.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int error = rc == 0 ? 0 : LastError();
#if defined(_WIN32)
    const bool pending = error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
    const bool pending = error == EINPROGRESS;
#endif
    if (rc != 0 && !pending) break;
    bool connected = rc == 0;
    if (!connected) {
      pollfd fds[1] = {};
      fds[0].fd = filler.get();
      fds[0].events = POLLOUT;
      const int n = PollNative(fds, 1, static_cast<int>(kSettle.count()));
      if (n < 0) break;
      if (n > 0) {
        int soError = 0;
        socklen_t soLength = sizeof soError;
        if (::getsockopt(filler.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLength) !=
                0 ||
            soError != 0) {
          break;  // refused: this system does not drop
        }
        connected = true;
      }
    }
    fillers_.push_back(ToHandle(filler.Release()));
    if (!connected) return true;
  }
  Close();
  return false;
}

}  // namespace testsupport
