// Asking for a password on the terminal without echoing it.
#pragma once

#include <string>

namespace proxycli {

// Writes `prompt` to stderr and reads one line from standard input with echo
// turned off; echo comes back on every path. False when standard input is
// not a terminal, the input ended before a line, or Ctrl-C cancelled it.
bool ReadPasswordNoEcho(const std::string& prompt, std::string* password);

}  // namespace proxycli
