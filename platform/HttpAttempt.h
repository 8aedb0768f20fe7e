// One HTTP attempt: the only thing the exchange asks of the platform's HTTP
// stack. Windows performs it with WinINet, other platforms with libcurl; both
// put the same request on the wire and keep the same bounds in every phase
// (connect, send, response headers, redirects, body).
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "protocol/Records.h"

// Why an attempt produced no reply body. Every kind fails the attempt alike;
// the kinds exist so that a person can tell what went wrong, and each is the
// attempt trace's outcome of the same name (same value, same words).
enum class HttpFailure : int {
  kNone = -1,                                               // status 200 and the whole body
  kSetup = static_cast<int>(AttemptOutcome::kSetupFailed),  // bad host, no handle
  kNameNotResolved = static_cast<int>(AttemptOutcome::kNameNotResolved),
  kRefused = static_cast<int>(AttemptOutcome::kRefused),                // refused or reset while connecting
  kConnectTimeout = static_cast<int>(AttemptOutcome::kConnectTimeout),  // the TCP connect alone
  kTls = static_cast<int>(AttemptOutcome::kTls),
  kSendFailed = static_cast<int>(AttemptOutcome::kSendFailed),
  kNoResponse = static_cast<int>(AttemptOutcome::kNoResponse),
  kHttpStatus = static_cast<int>(AttemptOutcome::kHttpStatus),  // a final status but 200; body not read
  kRedirectRefused = static_cast<int>(AttemptOutcome::kRedirectRefused),  // https to plain http
  kTooManyRedirects = static_cast<int>(AttemptOutcome::kTooManyRedirects),
  kDeadline = static_cast<int>(AttemptOutcome::kDeadline),  // the attempt's whole time ran out
  kStall = static_cast<int>(AttemptOutcome::kStall),
  kBodyTooBig = static_cast<int>(AttemptOutcome::kBodyTooBig),  // announced or received
  kCutShort = static_cast<int>(AttemptOutcome::kCutShort),  // reset, fewer bytes than announced, bad framing
  kCancelled = static_cast<int>(AttemptOutcome::kCancelled),  // the request's cancel check turned true
};

// The trace's outcome of a failure; a whole body is only "parsed" once it is.
inline AttemptOutcome OutcomeOf(HttpFailure failure) {
  return failure == HttpFailure::kNone ? AttemptOutcome::kParsed : static_cast<AttemptOutcome>(failure);
}

inline const char* HttpFailureName(HttpFailure failure) {
  return failure == HttpFailure::kNone ? "ok" : AttemptOutcomeName(OutcomeOf(failure));
}

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
