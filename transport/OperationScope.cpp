#include "transport/OperationScope.h"

#include <atomic>

namespace {

// Each cancel starts a new generation; an operation belongs to the one in
// which it started, so a cancel reaches exactly the operations already
// running.
std::atomic<std::uint64_t> generation{0};

thread_local const OperationScope* current = nullptr;

}  // namespace

OperationScope::OperationScope() : startedIn_(generation.load()), outer_(current) { current = this; }

OperationScope::~OperationScope() { current = outer_; }

bool OperationScope::Cancelled() const { return generation.load() != startedIn_; }

const OperationScope* OperationScope::Current() { return current; }

std::function<bool()> OperationScope::CurrentCancelCheck() {
  if (current == nullptr) return [] { return false; };
  const std::uint64_t startedIn = current->startedIn_;
  return [startedIn] { return generation.load() != startedIn; };
}

void CancelOperationsInFlight() { generation.fetch_add(1); }
