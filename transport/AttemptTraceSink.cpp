#include "transport/AttemptTraceSink.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace {

std::mutex& HandlerMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Shared, so a handler replaced while another thread runs it lives on until
// that call returns.
std::shared_ptr<const AttemptTraceHandler>& Handler() {
  static auto* handler = new std::shared_ptr<const AttemptTraceHandler>;
  return *handler;
}

std::atomic<bool> wanted{false};

}  // namespace

void SetAttemptTraceHandler(AttemptTraceHandler handler) {
  std::shared_ptr<const AttemptTraceHandler> installed;
  if (handler) installed = std::make_shared<const AttemptTraceHandler>(std::move(handler));
  std::lock_guard<std::mutex> lock(HandlerMutex());
  wanted = installed != nullptr;
  Handler() = std::move(installed);
}

bool AttemptTraceWanted() { return wanted.load(std::memory_order_relaxed); }

void ReportAttempt(const AttemptTrace& attempt) {
  std::shared_ptr<const AttemptTraceHandler> handler;
  {
    std::lock_guard<std::mutex> lock(HandlerMutex());
    handler = Handler();
  }
  if (!handler) return;
  try {
    (*handler)(attempt);
  } catch (...) {
    // The trace only watches: nothing it does may change the operation.
  }
}
