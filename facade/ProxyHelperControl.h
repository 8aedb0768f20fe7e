// proxyhelper: controls for an application that calls ProxyHelper from
// several threads, has a Cancel button, and wants to know why an attempt to
// reach its account service failed.
//
// Every ProxyHelper operation may be called from any thread, at the same
// time as any other: each behaves as if the operations ran one after the
// other in some order. The session is read and written under a lock held
// only while its values are copied, never across a network exchange, so a
// heartbeat in one thread is not held up by a catalogue download in another.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "facade/ProxyHelperExport.h"

// The operation was in flight when ProxyHelperControl::CancelAll was called.
// It changed nothing of the caller's records, the session or the cache.
constexpr int RESULT_CANCELLED = 0x70000068;

// How one HTTP attempt ended.
enum class AttemptOutcome {
  kParsed,            // a reply arrived, was decoded and reports success
  kRefusedByService,  // a reply arrived and was decoded; its "result" is a refusal
  kUnparsable,        // a reply arrived but is not profile text the client can decode
  kCancelled,         // CancelAll ended the attempt
  kSetupFailed,       // the request could not be set up (for example a bad host name)
  kNameNotResolved,   // the server's name has no address
  kRefused,           // the connection was refused
  kConnectTimeout,    // the TCP connect took longer than its time-out
  kTls,               // TLS handshake or certificate verification failed
  kSendFailed,        // the request could not be sent
  kNoResponse,        // the connection closed before an HTTP response arrived
  kHttpStatus,        // an HTTP status other than 200
  kRedirectRefused,   // a redirect from https to plain http
  kTooManyRedirects,  // more than 10 redirects
  kDeadline,          // "GC_HTTP_TIMEOUT_MS" or the operation's deadline ran out
  kStall,             // nothing moved for "GC_HTTP_STALL_MS"
  kBodyTooBig,        // the body is over "GC_HTTP_MAX_BODY"
  kCutShort,          // the body broke off (reset, fewer bytes than announced, bad framing)
};

// One attempt as the attempt trace reports it. It never carries a request
// or reply body, a password, a key, the session token or lease credentials.
struct AttemptTrace {
  std::string script;  // the service script, "loginin.php"
  std::string host;    // the account server
  int port = 0;
  bool tls = false;
  int connectTimeoutMs = 0;  // the connect time-out this attempt used
  int elapsedMs = 0;         // from the start of the attempt to its end
  AttemptOutcome outcome = AttemptOutcome::kSetupFailed;
  int serviceResult = 0;      // kRefusedByService: the reply's "result" (-1 when absent)
  int httpStatus = 0;         // the final HTTP status; 0 when none arrived
  std::size_t bodyBytes = 0;  // the reply body's size as received; 0 when none
};

class PROXYHELPER_API ProxyHelperControl {
 public:
  // Makes every operation in flight, in any thread, return RESULT_CANCELLED
  // promptly (within about 100 ms; on Windows within the watchdog's tick).
  // Operations that start after the call run normally. An operation that
  // already had its reply completes as usual.
  static void CancelAll();

  using TraceHandler = std::function<void(const AttemptTrace& attempt)>;

  // Installs the handler called after every attempt, on the operation's
  // thread, in attempt order; an empty handler (the default) turns the trace
  // off. The handler's time counts toward the operation's deadline
  // ("GC_OPERATION_TIMEOUT_MS"); an exception it throws is swallowed and the
  // operation goes on. It must not call ProxyHelper operations itself.
  static void SetAttemptTrace(TraceHandler handler);

  // Stable lower-case words for an outcome, the same the command-line client
  // and the reference service print: "parsed", "refused by the service",
  // "connect timeout", ...
  static const char* OutcomeName(AttemptOutcome outcome);
};
