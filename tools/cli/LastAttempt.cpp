#include "tools/cli/LastAttempt.h"

#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "hostlib/quillon.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

// The trace calls back on the operation's own thread, so what one thread's
// operation did never mixes with another's.
thread_local struct {
  std::optional<AttemptTrace> last;
  AttemptWatch* watch = nullptr;
} threadAttempts;

// Serialises what the watches write to the error stream: attempt lines come
// from the operation's thread, wait lines from a thread of their own.
std::mutex& OutputMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

}  // namespace

// Draws and erases the wait line; the line is only ever touched with the
// output mutex held.
class AttemptWatch::WaitLine {
 public:
  explicit WaitLine(std::ostream& err) : err_(err), thread_([this] { Run(); }) {}
  ~WaitLine() {
    stop_.set_value();
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
    const auto started = std::chrono::steady_clock::now();
    for (int seconds = 1;
         stopped_.wait_until(started + std::chrono::seconds(seconds)) == std::future_status::timeout;
         ++seconds) {
      // The server list has a lock of its own: never take it while holding
      // the output mutex, which the trace takes under the library's locks.
      std::string host;
      int port = 0;
      bool secure = false;
      CLoginServers::Instance().GetCurrServer(host, port, secure);
      if (host.empty()) continue;
      std::lock_guard<std::mutex> lock(OutputMutex());
      err_ << "\r\xE2\x80\xA6 waiting for " << (secure ? "https://" : "") << Printable(HostPort(host, port))
           << " (" << seconds << " s)\033[K" << std::flush;
      drawn_ = true;
    }
  }

  std::ostream& err_;
  std::promise<void> stop_;
  std::future<void> stopped_ = stop_.get_future();
  bool drawn_ = false;
  std::thread thread_;  // last: it runs as soon as it is made
};

void RecordAttempts() {
  static std::once_flag once;
  std::call_once(once, [] {
    ProxyHelperControl::SetAttemptTrace([](const AttemptTrace& attempt) {
      threadAttempts.last = attempt;
      if (threadAttempts.watch != nullptr) threadAttempts.watch->Attempted(attempt);
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

std::string DescribeLastAttempt() {
  return threadAttempts.last ? DescribeAttempt(*threadAttempts.last) : std::string();
}

AttemptWatch::AttemptWatch(Console& console) : console_(console), outer_(threadAttempts.watch) {
  // A transport failure must not be explained by an earlier operation's attempt.
  threadAttempts.last.reset();
  threadAttempts.watch = this;
  if (console.errorIsTerminal && !console.quiet) waitLine_ = std::make_unique<WaitLine>(console.err);
}

AttemptWatch::~AttemptWatch() {
  waitLine_.reset();
  threadAttempts.watch = outer_;
}

namespace {

// What -v prints after "* ": the script, DescribeAttempt, then the HTTP
// status, the body size, the connect time-out and the time taken, as in
// "loginin.php 127.0.0.1:8080: connection refused (connect timeout 500 ms, 1 ms)".
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

}  // namespace

void AttemptWatch::Attempted(const AttemptTrace& attempt) {
  if (!console_.verbose) return;
  std::lock_guard<std::mutex> lock(OutputMutex());
  if (waitLine_) waitLine_->EraseLocked();
  console_.err << "* " << Printable(DescribeAttemptInDetail(attempt)) << "\n" << std::flush;
}

}  // namespace proxycli
