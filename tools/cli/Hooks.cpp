#include "tools/cli/Hooks.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tools/cli/Printable.h"

extern char** environ;

namespace proxycli {

namespace {

using Clock = std::chrono::steady_clock;

// After SIGTERM, how long a hook's group has before SIGKILL.
constexpr std::chrono::seconds kTermGrace(2);
// A longer line is passed on in pieces of this size.
constexpr std::size_t kMaxLineBytes = 4096;

// The inherited environment minus what must not reach a hook.
std::vector<std::string> HookEnvironment(const std::vector<std::string>& added) {
  static const char* const kWithheld[] = {"PROXYHELPER_PASSWORD=", "PROXYHELPER_CARD_PASSWORD="};
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    bool keep = true;
    for (const char* prefix : kWithheld)
      keep = keep && std::strncmp(*entry, prefix, std::strlen(prefix)) != 0;
    for (const std::string& mine : added) {
      const std::size_t name = mine.find('=') + 1;
      keep = keep && std::strncmp(*entry, mine.c_str(), name) != 0;
    }
    if (keep) result.emplace_back(*entry);
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
  if (::pipe2(output, O_CLOEXEC) != 0) {
    outcome.error = std::string("pipe: ") + std::strerror(errno);
    ::close(input[0]);
    ::close(input[1]);
    return outcome;
  }
  std::vector<std::string> argv = {"sh", "-c", run.command};
  std::vector<std::string> environment = HookEnvironment(run.environment);
  std::vector<char*> argvPointers = Pointers(argv);
  std::vector<char*> environmentPointers = Pointers(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
  // Nothing of connect's (session socket, connections) leaks into the hook.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argvPointers.data(), environmentPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(input[1]);
  ::close(output[1]);
  if (spawned != 0) {
    outcome.error = std::string("cannot run /bin/sh: ") + std::strerror(spawned);
    ::close(input[0]);
    ::close(output[0]);
    return outcome;
  }
  outcome.started = true;
  // Our end only (the hook's stays blocking): the last read after the shell
  // exits takes what is there and never waits on a child it left behind.
  ::fcntl(output[0], F_SETFL, ::fcntl(output[0], F_GETFL) | O_NONBLOCK);
  // A few bytes: they fit the socket's buffer whether or not the hook reads.
  if (!run.input.empty()) {
    const ssize_t ignored = ::send(input[0], run.input.data(), run.input.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
  }
  ::shutdown(input[0], SHUT_WR);

  LineCopier copier(log, run.label);
  const Clock::time_point deadline = Clock::now() + run.timeout;
  Clock::time_point killAt;
  bool terminated = false;
  bool killed = false;
  bool outputOpen = true;
  int waitStatus = 0;
  bool exited = false;
  // Bounded: past the deadline the group is signalled, and SIGKILL cannot be
  // refused.
  while (!exited) {
    if (outputOpen) {
      pollfd readable = {output[0], POLLIN, 0};
      if (::poll(&readable, 1, 50) > 0) {
        char bytes[4096];
        const ssize_t got = ::read(output[0], bytes, sizeof bytes);
        if (got > 0) copier.Add(bytes, static_cast<std::size_t>(got));
        if (got == 0) outputOpen = false;
      }
    } else {
      ::usleep(20000);
    }
    const pid_t done = ::waitpid(pid, &waitStatus, WNOHANG);
    if (done == pid) exited = true;
    if (exited) break;
    const Clock::time_point now = Clock::now();
    const bool abandon = !outcome.timedOut && !outcome.abandoned && run.abandon && run.abandon();
    if (!terminated && (now >= deadline || abandon)) {
      (now >= deadline ? outcome.timedOut : outcome.abandoned) = true;
      ::kill(-pid, SIGTERM);
      terminated = true;
      killAt = now + kTermGrace;
    } else if (terminated && !killed && now >= killAt) {
      ::kill(-pid, SIGKILL);
      killed = true;
    }
  }
  // Out of time or abandoned: what the shell left behind goes with it.
  if (terminated) ::kill(-pid, SIGKILL);
  // What the shell wrote before it exited; a background child may keep the
  // pipe open, so only what is already there.
  for (int i = 0; outputOpen && i < 64; ++i) {
    char bytes[4096];
    const ssize_t got = ::read(output[0], bytes, sizeof bytes);
    if (got <= 0) break;
    copier.Add(bytes, static_cast<std::size_t>(got));
  }
  copier.Flush();
  ::close(input[0]);
  ::close(output[0]);
  outcome.status = outcome.timedOut ? kHookTimedOutStatus : StatusOf(waitStatus);
  return outcome;
}

}  // namespace proxycli
