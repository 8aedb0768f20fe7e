// `shell`: one process, one session, every operation on demand. On a
// terminal lines are read with libedit (editing, Tab completion of the
// commands, a history kept in $XDG_STATE_HOME/proxyhelper/shell_history
// without the lines that carry a password); from any other input one command
// per line, so scripts and tests can drive it.
//
// At a terminal Ctrl-C abandons the line being typed, or cancels the
// exchange of the command that runs (which then fails). Leaving the shell
// (quit, end of input, SIGTERM, SIGHUP, and Ctrl-C when reading a script)
// releases a held lease and signs out first.
#pragma once

#include <string>

#include "tools/cli/Console.h"
#include "tools/cli/LineReader.h"
#include "tools/cli/Settings.h"

namespace proxycli {

// Runs commands read from `reader` until quit or the end of the input.
// Returns the exit status of the last command, or that of the closing
// release or sign-out when one of those fails.
int RunShell(const Settings& settings, Console& console, LineReader& reader);

}  // namespace proxycli
