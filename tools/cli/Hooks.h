// The up and down hooks of `connect`, run as tunnel tools run theirs: a
// shell command with the lease described in PROXYHELPER_* variables and the
// lend password on its standard input, never in its arguments or
// environment (both are readable by other users through /proc).
#pragma once

#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace proxycli {

// Status reported for a hook that ran out of time, as timeout(1) does.
constexpr int kHookTimedOutStatus = 124;

struct HookRun {
  std::string label;    // "up" or "down": prefixes the hook's output lines
  std::string command;  // run by /bin/sh -c
  // "NAME=value" entries added to the environment; the account password
  // variables of this tool are taken out of what the hook inherits.
  std::vector<std::string> environment;
  std::string input;  // written to its standard input, which is then closed
  std::chrono::milliseconds timeout{30000};
  // Asked between reads: true ends the hook early, as a time-out does.
  std::function<bool()> abandon;
};

struct HookOutcome {
  bool started = false;
  bool timedOut = false;
  bool abandoned = false;
  // The shell's exit status, 128 + the signal that ended it, or
  // kHookTimedOutStatus; meaningful once started.
  int status = 0;
  std::string error;  // why it did not start
  bool ok() const { return started && !timedOut && !abandoned && status == 0; }
};

// Runs the hook in a process group of its own (a time-out ends the whole
// group: SIGTERM, then SIGKILL two seconds later) and copies its standard
// output and error, line by line, to `log` as "proxyhelper: <label>: <line>".
// Returns once the shell has exited; whatever it left running in the
// background is the hook's own business (pppd detaches, for one).
HookOutcome RunHook(const HookRun& run, std::ostream& log);

}  // namespace proxycli
