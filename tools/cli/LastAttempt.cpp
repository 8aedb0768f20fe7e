#include "tools/cli/LastAttempt.h"

#include <mutex>
#include <string>

#include "facade/ProxyHelperControl.h"

namespace proxycli {

namespace {

std::mutex& Mutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

AttemptTrace& Last() {
  static AttemptTrace* last = new AttemptTrace;
  return *last;
}

bool& Seen() {
  static bool seen = false;
  return seen;
}

}  // namespace

void RecordAttempts() {
  static std::once_flag once;
  std::call_once(once, [] {
    ProxyHelperControl::SetAttemptTrace([](const AttemptTrace& attempt) {
      std::lock_guard<std::mutex> lock(Mutex());
      Last() = attempt;
      Seen() = true;
    });
  });
}

std::string DescribeLastAttempt() {
  std::lock_guard<std::mutex> lock(Mutex());
  if (!Seen()) return std::string();
  const AttemptTrace& last = Last();
  std::string text = last.host + ":" + std::to_string(last.port) + (last.tls ? " (tls)" : "") + ": " +
                     ProxyHelperControl::OutcomeName(last.outcome);
  if (last.outcome == AttemptOutcome::kHttpStatus) text += " " + std::to_string(last.httpStatus);
  return text;
}

}  // namespace proxycli
