// What one operation hands down to every step it takes: when it must end,
// whether it was cancelled, and where its attempts are reported. The facade
// makes one per call and passes it by parameter through the service, the
// exchange, the reply's decoding and the HTTP attempt; nothing below looks
// an operation up by thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "facade/Records.h"

class AttemptTraceSink;

// Whether CancelAll was called since the token was taken. Each cancel
// starts a new generation and a token belongs to the one it was taken in,
// so a cancel reaches exactly the operations already running. Copies may be
// checked from any thread.
class CancelToken {
 public:
  // A token of the current generation.
  static CancelToken Take();
  // A token no cancel reaches.
  static CancelToken Never();

  bool Cancelled() const;

 private:
  explicit CancelToken(std::uint64_t startedIn) : startedIn_(startedIn) {}
  std::uint64_t startedIn_;
};

// Cancels every operation whose token was taken before this call.
void CancelOperationsInFlight();

class OperationContext {
 public:
  using Clock = std::chrono::steady_clock;

  // `trace` may be null: attempts are then reported nowhere. It must outlive
  // the context.
  OperationContext(Clock::time_point deadline, CancelToken cancel, const AttemptTraceSink* trace);

  // An operation starting now: its deadline "GC_OPERATION_TIMEOUT_MS" away
  // (read now), a fresh cancel token, and the process's attempt trace.
  static OperationContext Begin();

  Clock::time_point Deadline() const { return deadline_; }
  bool OutOfTime() const { return Clock::now() >= deadline_; }
  bool Cancelled() const { return cancel_.Cancelled(); }
  // Cancelled or out of time: long work (a large decompression, a parse)
  // asks this between rounds.
  bool ShouldStop() const { return Cancelled() || OutOfTime(); }
  // The same as a check that holds copies only, for work that may run on
  // another thread or in the host library.
  std::function<bool()> StopCheck() const;
  std::function<bool()> CancelCheck() const;

  // Cheap when nobody watches, so that attempts need not build a record.
  bool TraceWanted() const;
  void Report(const AttemptTrace& attempt) const;

 private:
  Clock::time_point deadline_;
  CancelToken cancel_;
  const AttemptTraceSink* trace_;
};
