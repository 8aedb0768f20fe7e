#include "bench/ShimmedService.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <thread>

#include "tools/devserver/AccountService.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/Seed.h"

namespace bench {
namespace {

constexpr int kStopWaitMs = 5000;
constexpr int kLifelineWaitMs = 500;

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

[[noreturn]] void Fail(int reportFd, const std::string& why) {
  WriteAll(reportFd, "error " + why + "\n");
  ::_exit(1);
}

// The child: serve until the parent closes the lifeline or dies.
[[noreturn]] void Serve(const ShimmedServiceSetup& setup, const std::string& pushed, int reportFd,
                        int lifelineFd) {
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  ::signal(SIGPIPE, SIG_IGN);
  devserver::SeedData seed;
  std::string error;
  if (!devserver::ParseSeed(devserver::DefaultSeedText(), &seed, &error)) Fail(reportFd, "seed: " + error);
  devserver::ServiceOptions options;
  options.keys = setup.keys;
  options.loginServers = pushed;
  devserver::AccountService service(seed, options);
  if (!service.ok()) Fail(reportFd, "store: " + service.error());
  devserver::DevServer server(&service);
  if (setup.tls) server.SetTlsFiles(setup.tlsFiles);
  devserver::ListenSpec spec{"127.0.0.1", 0, devserver::FaultMode::kNone, setup.tls};
  if (!server.Start({spec}, &error)) Fail(reportFd, "listen: " + error);
  WriteAll(reportFd, "port " + std::to_string(server.listeners().at(0).port) + "\n");
  ::close(reportFd);
  char byte;
  for (;;) {
    const ssize_t n = ::read(lifelineFd, &byte, 1);
    if (n == 0 || (n < 0 && errno != EINTR)) break;
  }
  server.Stop();
  ::_exit(0);
}

}  // namespace

ShimmedService::~ShimmedService() { Stop(); }

bool ShimmedService::Bind(std::string* error) { return shim_.Bind(error); }

std::string ShimmedService::ClientAddress() const { return (tls_ ? "https://" : "") + shim_.Address(); }

bool ShimmedService::StartService(const ShimmedServiceSetup& setup, std::string* error) {
  tls_ = setup.tls;
  const std::string pushed = ClientAddress();
  // One line: "port P" or "error ...".
  std::string line;
  if (!ForkReportingChild(
          [&setup, &pushed](int report, int lifeline) { Serve(setup, pushed, report, lifeline); }, &child_,
          &lifeline_, &line, error)) {
    return false;
  }
  std::istringstream words(line);
  std::string tag;
  words >> tag >> servicePort_;
  if (tag != "port" || servicePort_ <= 0) {
    *error = line.empty() ? "the service did not start in time" : line;
    Stop();
    return false;
  }
  return true;
}

bool ShimmedService::StartShim(std::chrono::microseconds roundTrip, std::string* error) {
  if (shimStarted_) return true;
  if (child_ <= 0) {
    *error = "no service behind the shim";
    return false;
  }
  shimStarted_ = shim_.Start(servicePort_, roundTrip, error);
  return shimStarted_;
}

void ShimmedService::StopShim() {
  shim_.Stop();
  shimStarted_ = false;
}

void ShimmedService::Stop() {
  StopShim();
  if (lifeline_ >= 0) ::close(lifeline_);
  lifeline_ = -1;
  if (child_ <= 0) return;
  // A child forked later (another benchmark's service) may hold a copy of
  // the lifeline; past a short wait a signal ends the service instead.
  const auto start = std::chrono::steady_clock::now();
  bool asked = false;
  while (::waitpid(child_, nullptr, WNOHANG) == 0) {
    const auto waited = std::chrono::steady_clock::now() - start;
    if (waited >= std::chrono::milliseconds(kStopWaitMs)) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
      break;
    }
    if (!asked && waited >= std::chrono::milliseconds(kLifelineWaitMs)) {
      ::kill(child_, SIGTERM);
      asked = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  child_ = -1;
}

}  // namespace bench
