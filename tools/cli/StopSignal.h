// Ctrl-C and SIGTERM during a long-running command: the handler only raises a
// flag, and the command notices it between steps, so a held lease is always
// released and the session signed out before the process ends.
#pragma once

#include <chrono>

namespace proxycli {

// Raises the stop flag; async-signal-safe (the signal handler calls it).
void RequestStop();
bool StopRequested();
void ClearStopRequest();

// Installs handlers for SIGINT and SIGTERM that call RequestStop, and puts
// the previous dispositions back when it goes out of scope.
class StopSignalScope {
 public:
  StopSignalScope();
  ~StopSignalScope();
  StopSignalScope(const StopSignalScope&) = delete;
  StopSignalScope& operator=(const StopSignalScope&) = delete;

 private:
  struct Saved;
  Saved* saved_;
};

// Sleeps in short slices until `until` or a stop request, whichever comes
// first; true when stopping was requested.
bool WaitForStop(std::chrono::steady_clock::time_point until);

}  // namespace proxycli
