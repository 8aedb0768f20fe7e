// The loopback HTTP server of the tests: it answers each connection as
// scripted, or as a responder computes from the request, including the
// misbehaviour a real server or network shows (closing early, stalling,
// resetting, broken framing, endless redirects, huge or endless bodies), in
// clear text or over TLS.
//
// Raw sockets (BSD or Winsock), one thread, one request per connection (every
// answer carries "Connection: close") unless kept alive, connections handled
// one after the other. Every wait is bounded and Stop() (also run by the destructor)
// interrupts all of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One request as it arrived.
struct RecordedRequest {
  std::string requestLine;  // "POST /vpn_intl/x.php HTTP/1.1"
  std::string method;
  std::string target;
  HeaderList headers;  // in arrival order, names as sent
  std::string body;

  // Value of the first header of that name (case-insensitive); empty when absent.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
  std::size_t HeaderCount(const std::string& name) const;
};

enum class Behaviour {
  kRespond,         // status line, `headers`, `body`; Content-Length unless closeDelimited
  kAcceptAndClose,  // read the request, close without a byte of answer
  kSilent,          // read the request, say nothing for `stallMs`, then answer as
                    // kRespond would (Stop ends it without an answer)
  kStallMidBody,    // announce the whole body, send `partialBytes` of it, go silent
                    // for `stallMs`, then send the rest (Stop ends it without the rest)
  kCloseMidBody,    // announce the whole body, send `partialBytes` of it, close cleanly
  kResetMidBody,    // announce the whole body, send `partialBytes` of it, then reset
  kBrokenChunked,   // chunked framing with a malformed chunk-size line after one chunk
  kRedirectLoop,    // 302 back to the request's own target, every time
  kHugeBody,        // `status` with `hugeBytes` of body ("Z=" and then 'x'), streamed until
                    // done or the client leaves; announced, or with `closeDelimited`
                    // or `chunked` nothing gives the size away up front
  kTrickle,         // announce `body`, send it one byte every `intervalMs`
  kTrickleHeaders,  // as kRespond, but the whole answer from the status line on goes
                    // out one byte every `intervalMs`
  kRaw,             // `raw` sent verbatim after reading the request, then close
};

struct Script {
  Behaviour behaviour = Behaviour::kRespond;
  int status = 200;
  std::string reason = "OK";
  HeaderList headers;  // extra response headers
  std::string body;
  bool closeDelimited = false;  // kRespond, kHugeBody: no Content-Length, the close ends the body
  bool chunked = false;         // kHugeBody: chunked framing
  bool hugeHeaders = false;     // kHugeBody: `hugeBytes` of header lines instead, never ended
  std::size_t partialBytes = 0;
  int stallMs = 30000;
  std::uint64_t hugeBytes = 0;
  int intervalMs = 100;
  std::string raw;

  static Script Respond(int status, std::string body);
  static Script Misbehave(Behaviour behaviour, std::string body = std::string(),
                          std::size_t partialBytes = 0);
};

class ScriptedServer {
 public:
  // Answers with `fallback` whenever no queued script is left.
  explicit ScriptedServer(std::string address = "127.0.0.1", Script fallback = Script());
  ~ScriptedServer();

  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // Serves HTTPS from Start on, with a certificate chain and its key (PEM
  // files); every handshake waits `handshakeDelayMs` once the client's hello
  // has arrived. False when the files cannot be used, or when this build
  // has no TLS (Windows).
  bool UseTls(const std::string& certificateFile, const std::string& privateKeyFile,
              int handshakeDelayMs = 0);
  // After UseTls: offers HTTP/2 ("h2") through ALPN, chosen whenever the
  // client lists it, as servers that speak it do. What the client then
  // sends shows in the recorded request line ("PRI * HTTP/2.0").
  void OfferHttp2();

  // Binds address:0 and starts accepting; false when that failed.
  bool Start();
  // Idempotent; interrupts a stalled or streaming answer.
  void Stop();

  const std::string& address() const { return address_; }
  int port() const { return port_; }
  std::string HostPort() const { return address_ + ":" + std::to_string(port_); }
  // "http://host:port" or "https://host:port".
  std::string Origin() const { return (tls_ ? "https://" : "http://") + HostPort(); }

  // Scripts for the next connections, in order.
  void Enqueue(Script script);
  void SetFallback(Script script);
  // Answers every request with what `responder` makes of it, ahead of the
  // queue and the fallback; an empty one gives them back their turn.
  using Responder = std::function<Script(const RecordedRequest&)>;
  void SetResponder(Responder responder);

  // Plain 200 answers (kRespond) leave out "Connection: close", and up to
  // `requestsPerConnection` requests are read from one connection, each
  // waited for at most `idleMs`. 1: the connection is closed after each
  // answer all the same, as a server with a short idle bound does. While a
  // connection is kept, the next one waits.
  void KeepAlive(std::size_t requestsPerConnection, int idleMs = 2000);

  std::vector<RecordedRequest> Requests() const;
  std::size_t Connections() const { return connections_.load(); }
  // TLS handshakes that resumed an earlier session.
  std::size_t ResumedHandshakes() const { return resumed_.load(); }
  // Body bytes of kHugeBody answers the clients took, over all connections.
  std::uint64_t HugeBytesSent() const { return hugeBytesSent_.load(); }

 private:
  // A descriptor (POSIX) or a SOCKET (Windows); -1 when none.
  using Handle = std::intptr_t;

  struct Tls;  // OpenSSL's server context; empty without TLS

  void AcceptLoop();
  void Serve(Handle socket);
  Script NextScript(const RecordedRequest& request);

  std::string address_;
  int port_ = 0;
  Handle listener_ = -1;
  // Stop() makes the read end readable for good; every wait watches it.
  Handle wakeRead_ = -1;
  Handle wakeWrite_ = -1;
  std::thread thread_;
  std::atomic<std::size_t> connections_{0};
  std::atomic<std::uint64_t> hugeBytesSent_{0};
  std::atomic<std::size_t> resumed_{0};
  std::atomic<std::size_t> keepAliveRequests_{0};
  std::atomic<int> keepAliveIdleMs_{2000};
  std::shared_ptr<Tls> tls_;

  mutable std::mutex mutex_;
  Script fallback_;
  std::deque<Script> queue_;
  Responder responder_;
  std::vector<RecordedRequest> requests_;
};

// A port on `address` that nothing listens on (bound, then released), so a
// connection to it is refused at once.
int ReserveClosedPort(const std::string& address);

// A listening socket that never accepts: its backlog is 0 and already holds
// connections that are never accepted, so the system drops every further
// SYN and a connect to it neither succeeds nor fails until the connector
// gives up. (Linux, and so Wine, drops them; a system that refuses them
// instead makes Start() fail.)
class UnacceptingListener {
 public:
  explicit UnacceptingListener(std::string address = "127.0.0.1");
  ~UnacceptingListener();

  UnacceptingListener(const UnacceptingListener&) = delete;
  UnacceptingListener& operator=(const UnacceptingListener&) = delete;

  // Listens on address:0 and fills the queue; false when either failed.
  bool Start();

  const std::string& address() const { return address_; }
  int port() const { return port_; }

 private:
  void Close();

  std::string address_;
  int port_ = 0;
  std::intptr_t listener_ = -1;
  std::vector<std::intptr_t> fillers_;  // the connections in the queue, and the one left hanging
};

}  // namespace testsupport
