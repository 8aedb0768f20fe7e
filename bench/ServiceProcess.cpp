#include "bench/ServiceProcess.h"

#include <errno.h>
#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/Catalogue.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/Seed.h"

namespace bench {
namespace {

constexpr int kStartWaitMs = 10000;
constexpr int kStopWaitMs = 5000;

// Closes a descriptor once.
void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void WaitForLifelineEnd(int lifelineFd) {
  char byte;
  for (;;) {
    const ssize_t n = ::read(lifelineFd, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
}

// One scripted listener: its body is built once, by whichever request comes
// first, and then answered to every request.
struct FixedReply {
  ReplyBuilder build;
  std::mutex mutex;
  bool built = false;
  std::string body;
  httplib::Server server;
  std::thread thread;

  const std::string& Body() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!built) {
      body = build();
      built = true;
    }
    return body;
  }
};

[[noreturn]] void ServeFixedReplies(const ServiceSetup& setup, int reportFd, int lifelineFd) {
  std::vector<std::unique_ptr<FixedReply>> replies;
  std::ostringstream ports;
  ports << "ports";
  for (std::size_t i = 0; i < setup.hosts.size(); ++i) {
    auto reply = std::make_unique<FixedReply>();
    reply->build = setup.fixedReplies[i];
    FixedReply* served = reply.get();
    reply->server.Post(R"(/.*)", [served](const httplib::Request&, httplib::Response& response) {
      response.set_content(served->Body(), "text/plain");
    });
    const int port = reply->server.bind_to_any_port(setup.hosts[i]);
    if (port <= 0) {
      WriteAll(reportFd, "error listen: cannot bind " + setup.hosts[i] + "\n");
      ::_exit(1);
    }
    ports << ' ' << port;
    reply->thread = std::thread([served] { served->server.listen_after_bind(); });
    replies.push_back(std::move(reply));
  }
  ports << '\n';
  WriteAll(reportFd, ports.str());
  ::close(reportFd);

  WaitForLifelineEnd(lifelineFd);
  for (auto& reply : replies) {
    // stop() does nothing until the listening loop runs.
    for (int waited = 0; waited < 5000 && !reply->server.is_running(); ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    reply->server.stop();
    reply->thread.join();
  }
  ::_exit(0);
}

// The child: serve until the parent closes the lifeline or dies.
[[noreturn]] void ServeInChild(const ServiceSetup& setup, int reportFd, int lifelineFd) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  // The HTTP library writes without MSG_NOSIGNAL; a client that hangs up
  // must not end the service.
  ::signal(SIGPIPE, SIG_IGN);
  if (!setup.fixedReplies.empty()) ServeFixedReplies(setup, reportFd, lifelineFd);

  devserver::SeedData seed;
  std::string error;
  if (!devserver::ParseSeed(devserver::DefaultSeedText(), &seed, &error)) {
    WriteAll(reportFd, "error seed: " + error + "\n");
    ::_exit(1);
  }
  if (setup.catalogueSize > 0) seed.groups = devserver::GenerateCatalogue(setup.catalogueSize);
  for (int i = 0; i < setup.sharedCredentials; ++i) {
    seed.pools[devserver::kSharedPool].push_back(
        devserver::Credential{"bench-dial-" + std::to_string(i), "bench-pw-" + std::to_string(i)});
  }
  devserver::ServiceOptions options;
  options.keys = setup.keys;
  options.store = setup.store;
  options.keysFromStore = setup.keysFromStore;
  devserver::AccountService service(seed, options);
  if (!service.ok()) {
    WriteAll(reportFd, "error store: " + service.error() + "\n");
    ::_exit(1);
  }
  devserver::DevServer server(&service);
  std::vector<devserver::ListenSpec> specs;
  for (const std::string& host : setup.hosts) specs.push_back(devserver::ListenSpec{host, 0});
  if (!server.Start(specs, &error)) {
    WriteAll(reportFd, "error listen: " + error + "\n");
    ::_exit(1);
  }
  std::ostringstream ports;
  ports << "ports";
  for (const devserver::BoundListener& bound : server.listeners()) ports << ' ' << bound.port;
  ports << '\n';
  WriteAll(reportFd, ports.str());
  ::close(reportFd);

  WaitForLifelineEnd(lifelineFd);
  server.Stop();
  ::_exit(0);
}

}  // namespace

void CloseInheritedExcept(int first, int second) {
  const unsigned low = static_cast<unsigned>(std::min(first, second));
  const unsigned high = static_cast<unsigned>(std::max(first, second));
  if (low > 3) ::close_range(3, low - 1, 0);
  if (high > low + 1) ::close_range(low + 1, high - 1, 0);
  ::close_range(high + 1, ~0u, 0);
}

std::string ReadReportLine(int fd) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartWaitMs);
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd waiting{fd, POLLIN, 0};
    if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return line;
}

bool ForkReportingChild(const std::function<void(int report, int lifeline)>& serve, pid_t* child,
                        int* lifeline, std::string* reportLine, std::string* error) {
  int report[2];
  int life[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  if (::pipe2(life, O_CLOEXEC) != 0) {
    ::close(report[0]);
    ::close(report[1]);
    *error = "pipe failed";
    return false;
  }
  std::fflush(nullptr);  // the child must not flush our buffered output again
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {report[0], report[1], life[0], life[1]}) ::close(fd);
    *error = "fork failed";
    return false;
  }
  if (pid == 0) {
    CloseInheritedExcept(report[1], life[0]);
    serve(report[1], life[0]);
  }
  *child = pid;
  ::close(report[1]);
  ::close(life[0]);
  *lifeline = life[1];
  *reportLine = ReadReportLine(report[0]);
  return true;
}

devserver::CipherKeys BenchKeys() {
  devserver::CipherKeys keys;
  keys.m1 = "bench-key-item-one";
  keys.m2 = "bench-key-item-two";
  keys.m3 = "bench-key-item-three";
  return keys;
}

ServiceProcess::~ServiceProcess() { Stop(); }

std::string ServiceProcess::Address(std::size_t i) const {
  return hosts_[i] + ":" + std::to_string(ports_[i]);
}

bool ServiceProcess::Start(const ServiceSetup& setup, std::string* error) {
  if (!setup.fixedReplies.empty() && setup.fixedReplies.size() != setup.hosts.size()) {
    *error = "one scripted reply per host";
    return false;
  }
  hosts_ = setup.hosts;
  // One line: "ports P1 P2 ..." or "error ...".
  std::string line;
  if (!ForkReportingChild([&setup](int report, int lifeline) { ServeInChild(setup, report, lifeline); },
                          &child_, &lifeline_, &line, error)) {
    return false;
  }

  std::istringstream words(line);
  std::string tag;
  words >> tag;
  int port = 0;
  while (tag == "ports" && words >> port) ports_.push_back(port);
  if (tag != "ports" || ports_.size() != hosts_.size()) {
    *error = line.empty() ? "the service did not start in time" : line;
    Stop();
    return false;
  }
  return true;
}

void ServiceProcess::Stop() {
  CloseFd(lifeline_);
  if (child_ <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
  while (::waitpid(child_, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  child_ = -1;
}

}  // namespace bench
