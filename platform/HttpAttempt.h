// One HTTP attempt: the only thing the exchange asks of the platform's HTTP
// stack. Windows performs it with WinINet, other platforms with libcurl; both
// put the same request on the wire (HTTP/1.1, for https entries too) and keep
// the same bounds in every phase (connect, send, response headers, redirects,
// body).
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "facade/Records.h"

using AttemptClock = std::chrono::steady_clock;

// Redirects followed within one attempt, at most.
constexpr int kMaxHttpRedirects = 10;

// Request headers besides Host, User-Agent and Content-Length. Content-Type
// and Accept are the service protocol's; Cache-Control is what WinINet sends
// for a request that must not be answered from a cache.
constexpr char kHttpRequestHeaders[] = "Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n";
constexpr char kHttpNoCacheHeader[] = "Cache-Control: no-cache";

struct HttpAttemptRequest {
  std::string host;  // a name or an address literal (IPv6 without brackets)
  int port = 80;
  bool secure = false;    // https, peer and host name always verified
  std::string path;       // "/vpn_intl/loginin.php"
  std::string userAgent;  // free of control bytes; empty: no User-Agent
  std::string body;       // sent as the POST body
  // Each TCP connect the attempt makes (a redirect's new connection too),
  // timed from the moment its socket is opened; never past `deadline`.
  std::chrono::milliseconds connectWindow{500};
  // When the whole attempt ends at the latest: name, connect, TLS, send,
  // answer, redirects. "Out of time" is now >= deadline.
  AttemptClock::time_point deadline = AttemptClock::time_point::max();
  std::chrono::milliseconds stall{10000};  // no byte moving, once connected
  std::size_t maxBody = 0;                 // largest body accepted, bytes
  std::string caBundle;  // PEM file replacing the trust store; empty: the system's (ignored on Windows)
  // Polled while the attempt runs (from any thread); true ends it at once
  // with kCancelled. Empty: never cancelled.
  std::function<bool()> cancelled;
  // Keep the connection for a later attempt to the same host, port and
  // scheme, and take one kept from an earlier attempt (idle for at most
  // `idle`). TLS sessions and resolved names are kept alike. Ignored on
  // Windows.
  bool reuse = false;
  std::chrono::milliseconds idle{30000};
};

struct HttpAttemptResult {
  // Why the attempt produced no reply body, as the attempt trace words it
  // (one of kCancelled to kCutShort); empty for status 200 and the whole
  // body. Every kind fails the attempt alike.
  std::optional<AttemptOutcome> failure = AttemptOutcome::kSetupFailed;
  int status = 0;       // the final HTTP status, 0 when none arrived
  std::string body;     // the whole body; only without a failure
  bool reused = false;  // went over a connection an earlier attempt opened
};

inline const char* HttpFailureName(const std::optional<AttemptOutcome>& failure) {
  return failure ? AttemptOutcomeName(*failure) : "ok";
}

// Performs one POST. Never throws but std::bad_alloc; returns by the
// request's deadline, and within a tick of the cancel check turning true.
HttpAttemptResult PerformHttpAttempt(const HttpAttemptRequest& request);
