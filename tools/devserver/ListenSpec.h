// Listen addresses and the fault each one may be told to play.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace devserver {

enum class FaultMode {
  kNone,       // serve the protocol
  kRefuse,     // keep the port reserved but never listen: connections are refused
  kStatus500,  // answer every request with HTTP 500
  kClose,      // accept, read the request, close without answering
  kStall,      // accept, send headers and part of a body, then hang until stop
  kGarbage,    // HTTP 200 with random bytes that are not profile text
};

struct ListenSpec {
  std::string host;
  int port = 0;  // 0: any free port
  FaultMode fault = FaultMode::kNone;
  // Serve HTTPS with the server's TLS files (the faults that speak HTTP play
  // over TLS too; refuse, close and stall stay below TLS).
  bool tls = false;
};

// How an HTTP listener bounds each connection (the table under
// "Connections" in README.md); tests shorten the times.
struct ConnectionLimits {
  // For the first byte of the first request on a new connection.
  std::chrono::milliseconds idle{5000};
  // For the first byte of each later request on a kept-alive connection:
  // longer than a client keeps an idle connection (30 s by default), so the
  // client gives it up first and never sends into one being closed.
  std::chrono::milliseconds keepAliveIdle{60000};
  // From the first byte to the end of the body; for TLS, also the handshake
  // from the accept.
  std::chrono::milliseconds request{5000};
  // For the peer to take each piece of the answer.
  std::chrono::milliseconds write{5000};
  std::size_t headBytes = 64 * 1024;  // request line and headers
  std::size_t bodyBytes = 1 << 20;    // what the body may carry, framing aside
  // A session's opening requests and a good while of its heartbeats.
  std::size_t requestsPerConnection = 100;
  // Connections open at once; at the limit the listener stops accepting
  // until one ends (the kernel's backlog holds the rest).
  std::size_t connections = 1024;
};

// "HOST:PORT" or "[IPV6]:PORT"; the port is decimal 0 to 65535.
bool ParseListenSpec(const std::string& text, ListenSpec* spec, std::string* error);

// "refuse", "500", "close", "stall", "garbage".
bool ParseFaultMode(const std::string& text, FaultMode* mode);
const char* FaultModeName(FaultMode mode);

// "HOST:PORT=MODE": gives MODE to the first spec with that host and port
// that has no fault yet, so two "127.0.0.1:0" listeners can differ.
bool ApplyFault(const std::string& text, std::vector<ListenSpec>* specs, std::string* error);

// "host:port", with brackets around IPv6 hosts.
std::string FormatAddress(const std::string& host, int port);

// Whether every address `host` stands for is a loopback one (127.0.0.0/8,
// ::1); false for wildcards such as 0.0.0.0 and for hosts that do not resolve.
bool IsLoopbackHost(const std::string& host);

}  // namespace devserver
