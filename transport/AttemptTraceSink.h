// Where attempts are reported: the application's own trace handler (its one
// slot, SetAttemptTrace) and any number of subscriptions beside it, so that
// independent components can watch attempts without replacing each other's
// handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "facade/Records.h"

class AttemptTraceSink {
 public:
  using Token = std::uint64_t;

  AttemptTraceSink();
  ~AttemptTraceSink();
  AttemptTraceSink(const AttemptTraceSink&) = delete;
  AttemptTraceSink& operator=(const AttemptTraceSink&) = delete;

  // The process's sink, which the facade's operations report to. Leaked on
  // purpose: usable during exit-time destruction.
  static AttemptTraceSink& Process();

  // Replaces the application's slot; an empty handler clears it.
  void SetApplicationHandler(AttemptTraceHandler handler);
  // Adds a handler beside the others; returns its token, never 0 and never
  // given twice. An empty handler is not added (0).
  Token Subscribe(AttemptTraceHandler handler);
  // False when the token names no subscription (already removed, or 0).
  bool Unsubscribe(Token token);

  // Cheap, lock-free: true when any handler is installed.
  bool Wanted() const { return wanted_.load(std::memory_order_acquire); }
  // Calls the application's handler, then the subscriptions in the order
  // they were added, outside the lock (a handler may change the handlers).
  // Whatever a handler throws is swallowed: the trace only watches.
  void Report(const AttemptTrace& attempt) const;

 private:
  struct Handlers;
  // Installs `next` as the handlers; the caller holds mutex_.
  void Replace(std::shared_ptr<const Handlers> next);
  mutable std::mutex mutex_;
  // Replaced whole on every change, so a report runs on a snapshot and a
  // handler removed meanwhile lives on until that report returns.
  std::shared_ptr<const Handlers> handlers_;
  // handlers_ != nullptr, written under mutex_ with every change of it, so
  // Wanted() costs an attempt no lock.
  std::atomic<bool> wanted_{false};
  Token lastToken_ = 0;
};
