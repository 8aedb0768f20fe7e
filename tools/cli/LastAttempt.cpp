#include "tools/cli/LastAttempt.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "hostlib/quillon.h"
#include "tools/cli/Printable.h"

namespace proxycli {

namespace {

// The trace calls back on the operation's own thread, so what one thread's
// operation did never mixes with another's.
struct ThreadAttempts {
  AttemptTrace last;
  bool seen = false;
  AttemptWatch* watch = nullptr;
};

ThreadAttempts& Attempts() {
  thread_local ThreadAttempts attempts;
  return attempts;
}

// Serialises what the watches write to the error stream: attempt lines come
// from the operation's thread, wait lines from a thread of their own.
std::mutex& OutputMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::string HostPort(const std::string& host, int port) {
  const bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

// Draws and erases the wait line; the line is only ever touched with the
// output mutex held.
class AttemptWatch::WaitLine {
 public:
  explicit WaitLine(std::ostream& err) : err_(err), thread_([this] { Run(); }) {}
  ~WaitLine() {
    {
      std::lock_guard<std::mutex> lock(OutputMutex());
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard<std::mutex> lock(OutputMutex());
    EraseLocked();
  }

  // Before anything else goes to the stream.
  void EraseLocked() {
    if (!drawn_) return;
    err_ << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  void Run() {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    std::unique_lock<std::mutex> lock(OutputMutex());
    for (int seconds = 1;; ++seconds) {
      if (wake_.wait_until(lock, started + std::chrono::seconds(seconds), [this] { return stopping_; })) {
        return;
      }
      // The server list has a lock of its own: never take it while holding
      // the output mutex, which the trace takes under the library's locks.
      lock.unlock();
      std::string host;
      int port = 0;
      bool secure = false;
      CLoginServers::Instance().GetCurrServer(host, port, secure);
      lock.lock();
      if (stopping_) return;
      if (host.empty()) continue;
      err_ << "\r\xE2\x80\xA6 waiting for " << (secure ? "https://" : "") << Printable(HostPort(host, port))
           << " (" << seconds << " s)\033[K" << std::flush;
      drawn_ = true;
    }
  }

  std::ostream& err_;
  std::condition_variable wake_;
  bool stopping_ = false;
  bool drawn_ = false;
  std::thread thread_;  // last: it runs as soon as it is made
};

void RecordAttempts() {
  static std::once_flag once;
  std::call_once(once, [] {
    ProxyHelperControl::SetAttemptTrace([](const AttemptTrace& attempt) {
      ThreadAttempts& attempts = Attempts();
      attempts.last = attempt;
      attempts.seen = true;
      if (attempts.watch != nullptr) attempts.watch->Attempted(attempt);
    });
  });
}

std::string DescribeAttempt(const AttemptTrace& attempt) {
  std::string text = HostPort(attempt.host, attempt.port) + (attempt.tls ? " (tls)" : "") + ": " +
                     ProxyHelperControl::OutcomeName(attempt.outcome);
  if (attempt.outcome == AttemptOutcome::kHttpStatus) text += " " + std::to_string(attempt.httpStatus);
  if (attempt.outcome == AttemptOutcome::kRefusedByService) {
    text += " (result " + std::to_string(attempt.serviceResult) + ")";
  }
  return text;
}

std::string DescribeAttemptInDetail(const AttemptTrace& attempt) {
  std::string details;
  // A status other than 200 is already in the outcome's words.
  if (attempt.httpStatus != 0 && attempt.outcome != AttemptOutcome::kHttpStatus) {
    details += "http " + std::to_string(attempt.httpStatus) + ", ";
  }
  if (attempt.bodyBytes != 0) details += std::to_string(attempt.bodyBytes) + " bytes, ";
  // A kept connection had no connect of its own to time.
  details += (attempt.reused ? std::string("reused connection, ")
                             : "connect timeout " + std::to_string(attempt.connectTimeoutMs) + " ms, ") +
             std::to_string(attempt.elapsedMs) + " ms";
  return attempt.script + " " + DescribeAttempt(attempt) + " (" + details + ")";
}

std::string DescribeLastAttempt() {
  const ThreadAttempts& attempts = Attempts();
  return attempts.seen ? DescribeAttempt(attempts.last) : std::string();
}

AttemptWatch::AttemptWatch(Console& console) : console_(console), outer_(Attempts().watch) {
  ThreadAttempts& attempts = Attempts();
  // A transport failure must not be explained by an earlier operation's attempt.
  attempts.seen = false;
  attempts.watch = this;
  if (console.errorIsTerminal && !console.quiet) waitLine_ = std::make_unique<WaitLine>(console.err);
}

AttemptWatch::~AttemptWatch() {
  waitLine_.reset();
  Attempts().watch = outer_;
}

void AttemptWatch::Attempted(const AttemptTrace& attempt) {
  if (!console_.verbose) return;
  std::lock_guard<std::mutex> lock(OutputMutex());
  if (waitLine_) waitLine_->EraseLocked();
  console_.err << "* " << Printable(DescribeAttemptInDetail(attempt)) << "\n" << std::flush;
}

}  // namespace proxycli
