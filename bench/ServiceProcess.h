// The reference account service, run in a child process on loopback. Apart
// from keeping the service's work off the client's CPU time, this keeps its
// heap out of the client's: the memory figures count the client alone.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/devserver/CipherKeys.h"

namespace bench {

// Makes the whole body of a scripted answer.
using ReplyBuilder = std::function<std::string()>;

struct ServiceSetup {
  std::vector<std::string> hosts;  // one listener per host, ephemeral port
  int catalogueSize = 0;           // generated VPN servers; 0: the seed's own
  devserver::CipherKeys keys;
  // When set (one per host), no account service runs: listener i answers
  // every POST with fixedReplies[i](), built in the child on the first
  // request and kept. A large reply then costs the benchmark process
  // nothing until it asks for it.
  std::vector<ReplyBuilder> fixedReplies;
  // Where the account service keeps its state (devserver::OpenStore).
  std::string store = ":memory:";
  bool keysFromStore = false;
  // Dial-up credentials added to the seed's shared pool, so that this many
  // more clients can hold a lease at once.
  int sharedCredentials = 0;
};

// Fixed key items, so codec benchmarks can frame keyed replies without the
// network and the service's replies are readable after GetUserInfo.
devserver::CipherKeys BenchKeys();

// In a forked child: closes every descriptor it inherited but `first` and
// `second` (and standard input, output and error). A listening socket or
// another child's lifeline held there would outlive what it belongs to.
void CloseInheritedExcept(int first, int second);
// The one line a child reports on `fd` once it listens (or why it cannot),
// waited for a bounded time; closes `fd`. Empty when none came.
std::string ReadReportLine(int fd);
// Forks a child that runs `serve(report, lifeline)` (never returning) with
// only those descriptors inherited, and waits for its report line (empty
// when none came in time). `lifeline` receives our end: closing it ends the
// child. False, with `error`, when a pipe or the fork failed.
bool ForkReportingChild(const std::function<void(int report, int lifeline)>& serve, pid_t* child,
                        int* lifeline, std::string* reportLine, std::string* error);

class ServiceProcess {
 public:
  ServiceProcess() = default;
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Forks the service and waits (bounded) for its ports. Call before any
  // thread exists in this process. False, with `error` set, on failure.
  bool Start(const ServiceSetup& setup, std::string* error);

  // Port of the listener on hosts[i].
  int Port(std::size_t i) const { return ports_[i]; }
  std::string Address(std::size_t i) const;
  // The child's process id (-1 when not running), to read its memory.
  pid_t Pid() const { return child_; }

  // Ends the child (closing its lifeline, then by signal if it lingers).
  void Stop();

 private:
  pid_t child_ = -1;
  int lifeline_ = -1;  // the child serves until this closes
  std::vector<std::string> hosts_;
  std::vector<int> ports_;
};

}  // namespace bench
