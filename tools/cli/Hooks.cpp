#include "tools/cli/Hooks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "tools/cli/OwnedDescriptor.h"
#include "tools/cli/Printable.h"

extern char** environ;

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

// After SIGTERM, how long a hook's group has before SIGKILL.
constexpr std::chrono::seconds kTermGrace(2);
// A longer line is passed on in pieces of this size.
constexpr std::size_t kMaxLineBytes = 4096;

// The inherited environment minus what must not reach a hook, and minus
// what the hook is given anew.
std::vector<std::string> HookEnvironment(const std::vector<std::string>& added) {
  std::vector<std::string> withheld = {"PROXYHELPER_PASSWORD=", "PROXYHELPER_CARD_PASSWORD="};
  for (const std::string& mine : added) withheld.push_back(mine.substr(0, mine.find('=') + 1));
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const auto names = [entry](const std::string& prefix) {
      return std::strncmp(*entry, prefix.c_str(), prefix.size()) == 0;
    };
    if (std::none_of(withheld.begin(), withheld.end(), names)) result.emplace_back(*entry);
  }
  result.insert(result.end(), added.begin(), added.end());
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

class LineCopier {
 public:
  LineCopier(std::ostream& log, const std::string& label) : log_(log), label_(label) {}
  ~LineCopier() { Flush(); }
  void Add(const char* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (bytes[i] == '\n' || pending_.size() >= kMaxLineBytes) {
        Emit();
        if (bytes[i] == '\n') continue;
      }
      pending_ += bytes[i];
    }
  }
  void Flush() {
    if (!pending_.empty()) Emit();
  }

 private:
  void Emit() {
    log_ << "proxyhelper: " << label_ << ": " << Printable(pending_) << "\n" << std::flush;
    pending_.clear();
  }
  std::ostream& log_;
  const std::string& label_;
  std::string pending_;
};

int StatusOf(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return 128 + WTERMSIG(waitStatus);
  return 1;
}

// A SIGCHLD left ignored by whoever started us would have the kernel reap
// the shell at once: its status lost, and the wait for it never ending.
// The default disposition while a hook runs (the hook inherits it too).
class DefaultChildSignal {
 public:
  DefaultChildSignal() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &action, &previous_);
  }
  ~DefaultChildSignal() { ::sigaction(SIGCHLD, &previous_, nullptr); }

 private:
  struct sigaction previous_ = {};
};

}  // namespace

HookOutcome RunHook(const HookRun& run, std::ostream& log) {
  HookOutcome outcome;
  // A socket rather than a pipe for standard input: send() with
  // MSG_NOSIGNAL cannot raise the SIGPIPE that would stop connect itself.
  int input[2];
  int output[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) {
    outcome.error = std::string("socketpair: ") + std::strerror(errno);
    return outcome;
  }
  OwnedDescriptor ourInput(input[0]);
  OwnedDescriptor hookInput(input[1]);
  if (::pipe2(output, O_CLOEXEC) != 0) {
    outcome.error = std::string("pipe: ") + std::strerror(errno);
    return outcome;
  }
  OwnedDescriptor ourOutput(output[0]);
  OwnedDescriptor hookOutput(output[1]);
  std::vector<std::string> argv = {"sh", "-c", run.command};
  std::vector<std::string> environment = HookEnvironment(run.environment);
  std::vector<char*> argvPointers = Pointers(argv);
  std::vector<char*> environmentPointers = Pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, hookInput.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, hookOutput.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, hookOutput.get(), STDERR_FILENO);
  // Nothing of connect's (session socket, connections) leaks into the hook.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  const DefaultChildSignal childSignal;
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argvPointers.data(), environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  hookInput.Reset();
  hookOutput.Reset();
  if (spawned != 0) {
    outcome.error = std::string("cannot run /bin/sh: ") + std::strerror(spawned);
    return outcome;
  }
  outcome.started = true;
  // Our end only (the hook's stays blocking): the last read after the shell
  // exits takes what is there and never waits on a child it left behind.
  ::fcntl(ourOutput.get(), F_SETFL, ::fcntl(ourOutput.get(), F_GETFL) | O_NONBLOCK);
  // A few bytes: they fit the socket's buffer whether or not the hook reads.
  if (!run.input.empty()) {
    const ssize_t ignored =
        ::send(ourInput.get(), run.input.data(), run.input.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
  }
  ::shutdown(ourInput.get(), SHUT_WR);

  LineCopier copier(log, run.label);
  bool outputOpen = true;
  // Passes on what one read gets; false when it got nothing.
  const auto copySome = [&] {
    char bytes[4096];
    const ssize_t got = ::read(ourOutput.get(), bytes, sizeof bytes);
    if (got > 0) copier.Add(bytes, static_cast<std::size_t>(got));
    if (got == 0) outputOpen = false;
    return got > 0;
  };
  const Clock::time_point deadline = Clock::now() + run.timeout;
  std::optional<Clock::time_point> killAt;  // set once the group was sent SIGTERM
  bool killed = false;
  int waitStatus = 0;
  // Bounded: past the deadline the group is signalled, and SIGKILL cannot be
  // refused.
  for (;;) {
    pollfd readable = {ourOutput.get(), POLLIN, 0};
    if (!outputOpen) {
      ::usleep(20000);
    } else if (::poll(&readable, 1, 50) > 0) {
      copySome();
    }
    if (::waitpid(pid, &waitStatus, WNOHANG) == pid) break;
    const Clock::time_point now = Clock::now();
    if (!killAt && (now >= deadline || (run.abandon && run.abandon()))) {
      (now >= deadline ? outcome.timedOut : outcome.abandoned) = true;
      ::kill(-pid, SIGTERM);
      killAt = now + kTermGrace;
    } else if (killAt && !killed && now >= *killAt) {
      ::kill(-pid, SIGKILL);
      killed = true;
    }
  }
  // Out of time or abandoned: what the shell left behind goes with it.
  if (killAt) ::kill(-pid, SIGKILL);
  // What the shell wrote before it exited; a background child may keep the
  // pipe open, so only what is already there.
  for (int i = 0; outputOpen && i < 64 && copySome(); ++i) {
  }
  copier.Flush();
  outcome.status = outcome.timedOut ? kHookTimedOutStatus : StatusOf(waitStatus);
  return outcome;
}

}  // namespace proxycli
