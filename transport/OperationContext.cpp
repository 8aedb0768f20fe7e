#include "transport/OperationContext.h"

#include <atomic>
#include <limits>

#include "hostlib/quillon.h"
#include "transport/AttemptTraceSink.h"
#include "wire/Vocabulary.h"

namespace {

constexpr int kDefaultOperationTimeoutMs = 120000;

std::atomic<std::uint64_t> generation{0};

constexpr std::uint64_t kNeverCancelled = std::numeric_limits<std::uint64_t>::max();

}  // namespace

CancelToken CancelToken::Take() { return CancelToken(generation.load()); }

CancelToken CancelToken::Never() { return CancelToken(kNeverCancelled); }

bool CancelToken::Cancelled() const {
  return startedIn_ != kNeverCancelled && generation.load() != startedIn_;
}

void CancelOperationsInFlight() { generation.fetch_add(1); }

OperationContext::OperationContext(Clock::time_point deadline, CancelToken cancel,
                                   const AttemptTraceSink* trace)
    : deadline_(deadline), cancel_(cancel), trace_(trace) {}

OperationContext OperationContext::Begin() {
  const int timeoutMs =
      GlobalCache::Instance().GetConfigInt(protocol::kGcOperationTimeoutMs, kDefaultOperationTimeoutMs);
  return OperationContext(Clock::now() + std::chrono::milliseconds(timeoutMs), CancelToken::Take(),
                          &AttemptTraceSink::Process());
}

std::function<bool()> OperationContext::StopCheck() const {
  const CancelToken cancel = cancel_;
  const Clock::time_point deadline = deadline_;
  return [cancel, deadline] { return cancel.Cancelled() || Clock::now() >= deadline; };
}

std::function<bool()> OperationContext::CancelCheck() const {
  const CancelToken cancel = cancel_;
  return [cancel] { return cancel.Cancelled(); };
}

bool OperationContext::TraceWanted() const { return trace_ != nullptr && trace_->Wanted(); }

void OperationContext::Report(const AttemptTrace& attempt) const {
  if (trace_ != nullptr) trace_->Report(attempt);
}
