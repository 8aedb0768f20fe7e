// One HTTP attempt: the only thing the exchange asks of the platform's HTTP
// stack. Windows performs it with WinINet, other platforms with libcurl; both
// put the same request on the wire and keep the same bounds in every phase
// (connect, send, response headers, redirects, body).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

// Why an attempt produced no reply body. Every kind fails the attempt alike;
// the kinds exist so that a person can tell what went wrong.
enum class HttpFailure {
  kNone,              // status 200 and the whole body
  kSetup,             // the request could not be set up (bad host, no handle)
  kNameNotResolved,   // the server's name has no address
  kRefused,           // the connection was refused or reset while connecting
  kConnectTimeout,    // the TCP connect took longer than its time-out
  kTls,               // TLS handshake or certificate verification failed
  kSendFailed,        // the request could not be sent
  kNoResponse,        // the connection closed before a response arrived
  kHttpStatus,        // a final status other than 200 (its body is not read)
  kRedirectRefused,   // a redirect from https to plain http
  kTooManyRedirects,  // more than kMaxHttpRedirects redirects
  kDeadline,          // the attempt's whole-transfer time ran out
  kStall,             // no byte moved for the stall time
  kBodyTooBig,        // the body (announced or received) is over the bound
  kCutShort,          // the body broke off: reset, fewer bytes than announced, bad framing
  kCancelled,         // the request's cancel check turned true
};

// Stable lower-case words for people and logs ("refused", "deadline", ...).
const char* HttpFailureName(HttpFailure failure);

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
  bool secure = false;         // https, peer and host name always verified
  std::string path;            // "/vpn_intl/loginin.php"
  std::string userAgent;       // free of control bytes; empty: no User-Agent
  std::string body;            // sent as the POST body
  int connectTimeoutMs = 500;  // the TCP connect alone
  int deadlineMs = 30000;      // the whole attempt, from its start: name, connect, TLS, send, answer
  int stallMs = 10000;         // no byte moving, once connected
  std::size_t maxBody = 0;     // largest body accepted, bytes
  std::string caBundle;        // PEM file replacing the trust store; empty: the system's (ignored on Windows)
  // Polled while the attempt runs (from any thread); true ends it at once
  // with kCancelled. Empty: never cancelled.
  std::function<bool()> cancelled;
};

struct HttpAttemptResult {
  HttpFailure failure = HttpFailure::kSetup;
  int status = 0;    // the final HTTP status, 0 when none arrived
  std::string body;  // the whole body; only with kNone
};

// Performs one POST. Never throws but std::bad_alloc; returns within the
// request's deadline, and within a tick of the cancel check turning true.
HttpAttemptResult PerformHttpAttempt(const HttpAttemptRequest& request);
