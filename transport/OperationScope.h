// What the exchange knows of the operation running on this thread: whether
// it has been cancelled. The facade opens a scope around every operation.
#pragma once

#include <cstdint>
#include <functional>

class OperationScope {
 public:
  OperationScope();
  ~OperationScope();
  OperationScope(const OperationScope&) = delete;
  OperationScope& operator=(const OperationScope&) = delete;

  bool Cancelled() const;

  // The scope of this thread's operation; null outside any.
  static const OperationScope* Current();

  // A check any thread may run (a watchdog, for one): true once the
  // operation is cancelled. Always false outside a scope.
  static std::function<bool()> CurrentCancelCheck();

 private:
  std::uint64_t startedIn_;
  const OperationScope* outer_;
};

// Cancels every operation whose scope is open now; later ones run normally.
void CancelOperationsInFlight();
