// An installed program (the command-line client, the reference service) as
// a child process, the way a person or a script runs it: behind pipes, or on
// a pseudo-terminal of its own. Every wait is bounded; a child still running
// at the end is killed. POSIX only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace testsupport {

class ChildProcess {
 public:
  explicit ChildProcess(std::string program) : program_(std::move(program)) {}
  ~ChildProcess() {
    if (pid_ > 0 && status_ == kRunning) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    for (int fd : {out_, err_}) {
      if (fd >= 0) ::close(fd);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // stdin from /dev/null, stdout and stderr to pipes.
  bool SpawnWithPipes(const std::vector<std::string>& args) {
    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) return false;
    Exec prepared(program_, args, {});
    pid_ = ::fork();
    if (pid_ == 0) {
      const int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, STDIN_FILENO);
      ::dup2(outPipe[1], STDOUT_FILENO);
      ::dup2(errPipe[1], STDERR_FILENO);
      prepared.Run();
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    out_ = outPipe[0];
    err_ = errPipe[0];
    return pid_ > 0;
  }

  // On a new pseudo-terminal of 24x80 (stdin, stdout and stderr), TERM=xterm
  // and `environment` ("NAME=value") set.
  bool SpawnOnTerminal(const std::vector<std::string>& args, std::vector<std::string> environment = {}) {
    environment.push_back("TERM=xterm");
    Exec prepared(program_, args, environment);
    winsize size{24, 80, 0, 0};
    int master = -1;
    pid_ = ::forkpty(&master, nullptr, nullptr, &size);
    if (pid_ == 0) prepared.Run();
    out_ = master;
    return pid_ > 0;
  }

  // Bytes for the program's input (the terminal, when on one).
  bool Type(const std::string& keys) {
    return ::write(out_, keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
  }

  // Reads stdout (the terminal) until `text` shows up after the position
  // reached by the previous successful wait, for at most `bound`. Terminal
  // control sequences (a line editor's cursor moves) do not count.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return WaitFor(out_, &output_, &seen_, text, bound);
  }
  bool WaitForError(const std::string& text, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return WaitFor(err_, &errors_, &errorsSeen_, text, bound);
  }

  // The next whole line of stdout, without its newline; empty when none came
  // within `bound`.
  std::string ReadLine(std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (output_.find('\n', lineStart_) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd entry{out_, POLLIN, 0};
      if (out_ < 0 || left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1) return "";
      char buffer[4096];
      const ssize_t n = ::read(out_, buffer, sizeof buffer);
      if (n <= 0) return "";
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    const std::size_t end = output_.find('\n', lineStart_);
    const std::string line = output_.substr(lineStart_, end - lineStart_);
    lineStart_ = end + 1;
    return line;
  }

  void Signal(int signal) { ::kill(pid_, signal); }

  // The exit status, 128 + N when killed by signal N, or -1 when it did not
  // end within `bound` (it is killed then). Reads what is left on the way.
  int Wait(std::chrono::milliseconds bound = std::chrono::seconds(15)) {
    if (status_ != kRunning) return status_;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    int raw = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &raw, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
      Drain(out_, &output_);
      Drain(err_, &errors_);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done != pid_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &raw, 0);
      status_ = -1;
    } else {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    Drain(out_, &output_);
    Drain(err_, &errors_);
    return status_;
  }

  // Closes our end of stdout, or of the terminal: whoever read the
  // program's output has gone away.
  void CloseOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }
  const std::string& errors() const { return errors_; }

 private:
  static constexpr int kRunning = -2;

  // Everything execve needs, made before fork: the child of a threaded
  // process may only call async-signal-safe functions.
  class Exec {
   public:
    Exec(const std::string& program, const std::vector<std::string>& args,
         const std::vector<std::string>& extraEnvironment) {
      strings_.push_back(program);
      strings_.insert(strings_.end(), args.begin(), args.end());
      const std::size_t argc = strings_.size();
      for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        bool replaced = false;
        for (const std::string& extra : extraEnvironment) {
          replaced = replaced || variable.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
        }
        if (!replaced) strings_.push_back(variable);
      }
      strings_.insert(strings_.end(), extraEnvironment.begin(), extraEnvironment.end());
      for (std::size_t i = 0; i < strings_.size(); ++i) {
        (i < argc ? argv_ : environment_).push_back(&strings_[i][0]);
      }
      argv_.push_back(nullptr);
      environment_.push_back(nullptr);
    }
    [[noreturn]] void Run() {
      ::execve(argv_[0], argv_.data(), environment_.data());
      ::_exit(127);
    }

   private:
    std::vector<std::string> strings_;
    std::vector<char*> argv_;
    std::vector<char*> environment_;
  };

  static void Drain(int fd, std::string* into) {
    if (fd < 0) return;
    char buffer[4096];
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) return;
      into->append(buffer, static_cast<std::size_t>(n));
    }
  }

  // `text` without carriage returns and CSI sequences ("ESC [ parameters
  // letter"): what a redrawn line adds to what was there.
  static std::string Visible(const std::string& text) {
    std::string visible;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
        i += 2;
        while (i < text.size() && !(text[i] >= '@' && text[i] <= '~')) ++i;
        continue;
      }
      if (text[i] != '\r') visible.push_back(text[i]);
    }
    return visible;
  }

  static bool WaitFor(int fd, std::string* collected, std::size_t* seen, const std::string& text,
                      std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      const std::size_t at = Visible(*collected).find(text, *seen);
      if (at != std::string::npos) {
        *seen = at + text.size();
        return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (fd < 0 || left.count() <= 0) return false;
      pollfd entry{fd, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) != 1) continue;
      char buffer[4096];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      // The terminal reports EIO once the child is gone.
      if (n <= 0) return Visible(*collected).find(text, *seen) != std::string::npos;
      collected->append(buffer, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  int status_ = kRunning;
  std::string output_;
  std::string errors_;
  std::size_t seen_ = 0;
  std::size_t errorsSeen_ = 0;
  std::size_t lineStart_ = 0;
  std::string program_;
};

}  // namespace testsupport
