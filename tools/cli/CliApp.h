// The command line: CLI11 definitions of the global options and the
// subcommands, the weighing of flags, environment and configuration file,
// and the dispatch to the subcommand.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/Console.h"

namespace proxycli {

// Runs the tool; `args[0]` is the program name. Returns the exit status:
// 0 success, 1 refused by the service, 2 usage error, 3 no account server
// reachable. No exception leaves it: running out of memory prints
// "proxyhelper: out of memory: <what it was doing>" and returns 1, as any
// other exception does with an internal error line.
int RunCli(const std::vector<std::string>& args, Console& console);

}  // namespace proxycli
