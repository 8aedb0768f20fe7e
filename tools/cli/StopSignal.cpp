#include "tools/cli/StopSignal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>

namespace proxycli {

namespace {

std::atomic<bool> stopFlag{false};
std::atomic<int> stopSignal{0};
std::atomic<bool> interruptFlag{false};
// Set by the innermost scope: whether SIGINT stops or only interrupts.
std::atomic<bool> interruptStopsNow{true};
std::atomic<int> wakeupWrite{-1};
int wakeupRead = -1;
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free flags");

constexpr struct {
  int number;
  const char* name;
} kHandled[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGPIPE, "SIGPIPE"}};
constexpr int kHandledCount = sizeof kHandled / sizeof kHandled[0];

// Short enough that Ctrl-C feels immediate, long enough not to spin.
constexpr std::chrono::milliseconds kSlice(20);

void MakeWakeupPipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    wakeupRead = fds[0];
    wakeupWrite.store(fds[1]);
  });
}

extern "C" void HandleStopSignal(int signalNumber) {
  const int savedErrno = errno;
  if (signalNumber == SIGINT && !interruptStopsNow.load()) {
    interruptFlag.store(true);
  } else {
    RequestStopBySignal(signalNumber);
  }
  const int fd = wakeupWrite.load();
  if (fd >= 0) {
    // A full pipe already wakes its reader.
    const ssize_t ignored = ::write(fd, "s", 1);
    (void)ignored;
  }
  errno = savedErrno;
}

}  // namespace

void RequestStop() { stopFlag.store(true); }

void RequestStopBySignal(int signalNumber) {
  int none = 0;
  stopSignal.compare_exchange_strong(none, signalNumber);
  stopFlag.store(true);
}

bool StopRequested() { return stopFlag.load(); }
int StopSignalNumber() { return stopSignal.load(); }

void ClearStopRequest() {
  stopFlag.store(false);
  stopSignal.store(0);
  interruptFlag.store(false);
}

bool TakeInterrupt() { return interruptFlag.exchange(false); }

int SignalWakeupDescriptor() {
  MakeWakeupPipe();
  return wakeupRead;
}

void DrainSignalWakeups() {
  if (wakeupRead < 0) return;
  char bytes[64];
  while (::read(wakeupRead, bytes, sizeof bytes) > 0) {
  }
}

StopSignalScope::StopSignalScope(bool interruptStops)
    : interruptStopped_(interruptStopsNow.exchange(interruptStops)) {
  static_assert(sizeof previous_ / sizeof previous_[0] == kHandledCount, "one saved action per signal");
  MakeWakeupPipe();
  struct sigaction action = {};
  action.sa_handler = HandleStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking read must return so the flag is looked at.
  action.sa_flags = 0;
  for (int i = 0; i < kHandledCount; ++i) {
    sigaction(kHandled[i].number, nullptr, &previous_[i]);
    // Ignored when we started (nohup, a background job of a shell without
    // job control): whoever started us meant it to stay so.
    if (previous_[i].sa_handler == SIG_IGN) continue;
    sigaction(kHandled[i].number, &action, nullptr);
  }
}

StopSignalScope::~StopSignalScope() {
  for (int i = 0; i < kHandledCount; ++i) sigaction(kHandled[i].number, &previous_[i], nullptr);
  interruptStopsNow.store(interruptStopped_);
}

bool WaitForStop(std::chrono::steady_clock::time_point until) {
  while (!StopRequested()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kSlice, until - now));
  }
  return true;
}

const char* SignalName(int signalNumber) {
  for (const auto& handled : kHandled) {
    if (handled.number == signalNumber) return handled.name;
  }
  return "a signal";
}

}  // namespace proxycli
