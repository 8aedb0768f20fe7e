#include "transport/AttemptInterceptor.h"

#include <mutex>
#include <utility>

namespace {

std::mutex& InterceptorMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

// Leaked on purpose, like the other process-wide state: usable during
// exit-time destruction.
AttemptInterceptor& Interceptor() {
  static AttemptInterceptor* interceptor = new AttemptInterceptor;
  return *interceptor;
}

}  // namespace

void SetAttemptInterceptor(AttemptInterceptor interceptor) {
  std::lock_guard<std::mutex> lock(InterceptorMutex());
  Interceptor() = std::move(interceptor);
}

HttpAttemptResult PerformAttempt(const HttpAttemptRequest& request) {
  AttemptInterceptor interceptor;
  {
    std::lock_guard<std::mutex> lock(InterceptorMutex());
    interceptor = Interceptor();
  }
  return interceptor ? interceptor(request) : PerformHttpAttempt(request);
}
