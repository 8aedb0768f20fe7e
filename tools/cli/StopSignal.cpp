#include "tools/cli/StopSignal.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace proxycli {

namespace {

std::atomic<bool> stopFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

// Short enough that Ctrl-C feels immediate, long enough not to spin.
constexpr std::chrono::milliseconds kSlice(20);

extern "C" void HandleStopSignal(int) { RequestStop(); }

}  // namespace

void RequestStop() { stopFlag.store(true); }
bool StopRequested() { return stopFlag.load(); }
void ClearStopRequest() { stopFlag.store(false); }

struct StopSignalScope::Saved {
  struct sigaction interrupt;
  struct sigaction terminate;
};

StopSignalScope::StopSignalScope() : saved_(new Saved()) {
  struct sigaction action = {};
  action.sa_handler = HandleStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, &saved_->interrupt);
  sigaction(SIGTERM, &action, &saved_->terminate);
}

StopSignalScope::~StopSignalScope() {
  sigaction(SIGINT, &saved_->interrupt, nullptr);
  sigaction(SIGTERM, &saved_->terminate, nullptr);
  delete saved_;
}

bool WaitForStop(std::chrono::steady_clock::time_point until) {
  while (!StopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kSlice, until - now));
  }
  return true;
}

}  // namespace proxycli
