// Signals during a long-running command: the handler only raises a flag, and
// the command notices it between steps, so a held lease is always released
// and the session signed out before the process ends.
//
// SIGINT, SIGTERM, SIGHUP (the terminal went away) and SIGPIPE (the reader of
// standard output went away) all stop the command; the one that did is kept
// so the command can exit with 128 + its number, as shells report a death by
// that signal. The interactive shell keeps SIGINT for itself: there it only
// abandons the line being edited.
#pragma once

#include <signal.h>

#include <chrono>

namespace proxycli {

// Raises the stop flag; async-signal-safe (the signal handler calls it).
void RequestStop();
// Raises the stop flag on behalf of `signalNumber` (a write that failed with
// EPIPE stands for the SIGPIPE it would have raised). The first signal wins.
void RequestStopBySignal(int signalNumber);
bool StopRequested();
// The signal that requested the stop, 0 when none did.
int StopSignalNumber();
void ClearStopRequest();

// True once for each SIGINT that arrived while a scope kept SIGINT for
// line editing.
bool TakeInterrupt();

// A descriptor that becomes readable whenever a handled signal arrives, for
// whoever waits in poll(); drain it with DrainSignalWakeups. -1 when it could
// not be made.
int SignalWakeupDescriptor();
void DrainSignalWakeups();

// Installs the handlers, and puts the previous dispositions back when it
// goes out of scope. A signal ignored when the scope begins stays ignored. `interruptStops` false: SIGINT
// raises TakeInterrupt() instead of the stop flag. The innermost scope decides (a password prompt inside the
// shell is ended by Ctrl-C).
class StopSignalScope {
 public:
  explicit StopSignalScope(bool interruptStops = true);
  ~StopSignalScope();
  StopSignalScope(const StopSignalScope&) = delete;
  StopSignalScope& operator=(const StopSignalScope&) = delete;

 private:
  // SIGINT, SIGTERM, SIGHUP and SIGPIPE as they were, and whether SIGINT
  // stopped.
  struct sigaction previous_[4];
  bool interruptStopped_;
};

// Sleeps in short slices until `until` or a stop request, whichever comes
// first; true when stopping was requested.
bool WaitForStop(std::chrono::steady_clock::time_point until);

// "SIGINT", "SIGTERM", "SIGHUP", "SIGPIPE"; "a signal" for any other.
const char* SignalName(int signalNumber);

}  // namespace proxycli
