#include "tools/cli/PasswordPrompt.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "tools/cli/StopSignal.h"

namespace proxycli {

namespace {

// Turns terminal echo off for its lifetime.
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (::tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    quiet.c_lflag |= ECHONL;
    active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

}  // namespace

bool ReadPasswordNoEcho(const std::string& prompt, std::string* password) {
  if (!::isatty(STDIN_FILENO)) return false;
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  // Ctrl-C must not leave the terminal without echo: it interrupts the read
  // (the handler does not restart it) and the guard below turns echo back on.
  StopSignalScope interruptible;
  EchoOff echoOff(STDIN_FILENO);
  // Read straight from the descriptor: stdio buffering would swallow input
  // meant for whatever reads standard input next.
  std::string line;
  for (;;) {
    char byte;
    const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n < 0 && errno == EINTR && !StopRequested()) continue;
    if (n <= 0) return false;
    if (byte == '\n') break;
    line.push_back(byte);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *password = line;
  return true;
}

}  // namespace proxycli
