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

#include <cstdint>

#include "facade/ProxyHelperExport.h"
#include "facade/Records.h"  // RESULT_CANCELLED, AttemptTrace, RawExchangeReply

class PROXYHELPER_API ProxyHelperControl {
 public:
  // Makes every operation in flight, in any thread, return RESULT_CANCELLED
  // promptly (within about 100 ms, a large reply's decompression and parse
  // included). Operations that start after the call run normally. An
  // operation that already had its reply completes as usual. A cancelled
  // operation changes nothing shared: the current account server, the
  // session, the cache file and the caller's records stay as they were
  // (only the key-letter counter has moved on, by one per request encoded).
  static void CancelAll();

  using TraceHandler = AttemptTraceHandler;
  using TraceToken = std::uint64_t;

  // The application's own trace slot: installs the handler called after
  // every attempt, on the operation's thread, in attempt order; an empty
  // handler (the default) clears the slot. Subscriptions (below) are not
  // touched. The handler's time counts toward the operation's deadline
  // ("GC_OPERATION_TIMEOUT_MS"); an exception it throws is swallowed and the
  // operation goes on. It must not call ProxyHelper operations itself.
  static void SetAttemptTrace(TraceHandler handler);

  // Adds a handler beside the application's slot and the other
  // subscriptions, for components that watch attempts independently. Each
  // attempt goes to the slot first, then to every subscription in the order
  // added; the same rules as for the slot apply. Returns the token that
  // removes it (never 0; 0 for an empty handler, which is not added).
  static TraceToken AddAttemptTrace(TraceHandler handler);
  // Removes one subscription; returns false when the token names none. A
  // report already running in another thread may still call it once.
  static bool RemoveAttemptTrace(TraceToken token);

  // Stable lower-case words for an outcome, the same the command-line client
  // and the reference service print: "parsed", "refused by the service",
  // "connect timeout", ...
  static const char* OutcomeName(AttemptOutcome outcome);

  // For conformance tools, not for an application's operations: one POST of
  // `body` (already encoded, "Z=..." or keyed) to `script` ("getversion.php")
  // at `server` (one list entry; empty: the current server), within the
  // "GC_HTTP_*" bounds, reported to the attempt trace. No failover; the list
  // and the session stay as they are.
  static RawExchangeReply RawExchange(const std::string& server, const std::string& script,
                                      const std::string& body);
};
