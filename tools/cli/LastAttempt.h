// The library's attempt trace, and everything the tool shows from it: the
// last attempt, which names the server and what happened there when an
// operation ends in a transport failure; with -v a line per attempt; and on
// a terminal a wait line while an operation is slow. All of it in the words
// the library and the reference service use (ProxyHelperControl::OutcomeName).
#pragma once

#include <memory>
#include <string>

#include "facade/ProxyHelperControl.h"
#include "tools/cli/Console.h"

namespace proxycli {

// Starts recording (once per process; later calls do nothing).
void RecordAttempts();

// "127.0.0.1:8080: connection refused", "a.example:443 (tls): http status
// 500", "127.0.0.1:8080: refused by the service (result 2)".
std::string DescribeAttempt(const AttemptTrace& attempt);

// DescribeAttempt of the last attempt this thread's latest watched operation
// made; empty when it made none (an empty server list, say).
std::string DescribeLastAttempt();

// Lives around one library operation. With console.verbose every attempt is
// printed to console.err as it ends, "* " and its details. When
// console.err is a terminal and not console.quiet, an operation that is
// still running after a second shows "… waiting for HOST:PORT (N s)" there,
// redrawn every second and erased when the operation ends.
class AttemptWatch {
 public:
  explicit AttemptWatch(Console& console);
  ~AttemptWatch();
  AttemptWatch(const AttemptWatch&) = delete;
  AttemptWatch& operator=(const AttemptWatch&) = delete;

  // Called from the trace on the operation's thread.
  void Attempted(const AttemptTrace& attempt);

 private:
  class WaitLine;

  Console& console_;
  AttemptWatch* outer_;
  std::unique_ptr<WaitLine> waitLine_;
};

}  // namespace proxycli
