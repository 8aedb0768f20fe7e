// The streams a command talks through. main() hands in the process's own;
// tests hand in string streams, so every command runs in-process.
#pragma once

#include <istream>
#include <ostream>

namespace proxycli {

struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Standard input is a terminal: prompts, no-echo passwords and line
  // editing are allowed.
  bool inputIsTerminal = false;
  // Standard output is a terminal: status lines may redraw themselves.
  bool outputIsTerminal = false;
  // Standard error is a terminal: a slow operation may show a wait line.
  bool errorIsTerminal = false;
  // -v: every HTTP attempt as a line on `err`.
  bool verbose = false;
  // -q: no wait line and no warnings on `err` (errors still show).
  bool quiet = false;
};

}  // namespace proxycli
