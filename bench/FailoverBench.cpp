// Execute failing over three refusing servers (closed ports on 127.0.0.1,
// .2 and .3) before a fourth answers, next to one plain answered request;
// the refused connects themselves, done with bare sockets, are the
// allowance the goal grants on top.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bench/BenchEnvironment.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "hostlib/quillon.h"
#include "transport/HttpCmd.h"

namespace bench {
namespace {

constexpr double kFailoverGoal = 1.5;
constexpr int kRounds = 300;
constexpr char kName[] = "failover/three_refusing_vs_plain";
const char* const kRefusingHosts[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};

using SteadyClock = std::chrono::steady_clock;

// Closes a socket when it goes out of scope.
class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Endpoint(const std::string& host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  return address;
}

// A port on `host` that nothing listens on: bound by the kernel's choice,
// then released, so connecting to it is refused at once.
int ClosedPort(const std::string& host) {
  Socket socket;
  if (socket.fd() < 0) return 0;
  sockaddr_in address = Endpoint(host, 0);
  socklen_t length = sizeof address;
  if (::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  return ntohs(address.sin_port);
}

struct RefusingServers {
  std::vector<std::string> hosts;
  std::vector<int> ports;
};

const RefusingServers& Refusing() {
  static RefusingServers* servers = [] {
    auto* made = new RefusingServers;
    for (const char* host : kRefusingHosts) {
      made->hosts.push_back(host);
      made->ports.push_back(ClosedPort(host));
    }
    return made;
  }();
  return *servers;
}

std::string FailoverList() {
  std::string list;
  const RefusingServers& refusing = Refusing();
  for (std::size_t i = 0; i < refusing.hosts.size(); ++i) {
    list += refusing.hosts[i] + ":" + std::to_string(refusing.ports[i]) + ";";
  }
  return list + FailoverAnswerServer();
}

double Since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// One getversion.php request through Execute, the account-server list reset
// to `list` first; only Execute is timed.
bool TimedExecute(const std::string& list, double* seconds, std::string* error) {
  const std::string answering = FailoverAnswerServer();
  UseAccountServers(list);
  CHttpCmd command(OperationContext::Begin(), "", 80);
  command.SetScript("/vpn_intl/getversion.php");
  command.AddParam("agent", GlobalCache::Instance().GetClientCfg()->GetAgent());
  command.AddParam("lang", CMultiLanguage::Instance().GetCurrConfigLanguageTag());
  const auto start = SteadyClock::now();
  const int result = command.Execute(0);
  *seconds = Since(start);
  // The server that answered stays the list's current one.
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  const std::string answered = host + ":" + std::to_string(port);
  *error = "Execute returned " + std::to_string(result) + " at " + answered;
  return result == 0 && command.IsSucceeded() && answered == answering;
}

// The allowance: the three refused connection attempts, bare.
bool RefusedConnects(const std::vector<sockaddr_in>& endpoints, double* seconds, std::string* error) {
  const auto start = SteadyClock::now();
  for (const sockaddr_in& endpoint : endpoints) {
    Socket socket;
    const int rc = ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
    if (rc == 0 || errno != ECONNREFUSED) {
      *error = "a closed port did not refuse the connection";
      return false;
    }
  }
  *seconds = Since(start);
  return true;
}

void FailoverSideBySide(benchmark::State& state) {
  const RefusingServers& refusing = Refusing();
  for (int port : refusing.ports) {
    if (port == 0) {
      state.SkipWithError("could not find closed ports");
      return;
    }
  }
  std::vector<sockaddr_in> endpoints;
  for (std::size_t i = 0; i < refusing.hosts.size(); ++i) {
    endpoints.push_back(Endpoint(refusing.hosts[i], refusing.ports[i]));
  }
  const std::string failoverList = FailoverList();
  const std::string plainList = FailoverAnswerServer();
  RunInterleaved(
      state,
      {
          {"failover",
           [&](double* seconds, std::string* error) { return TimedExecute(failoverList, seconds, error); }},
          {"plain",
           [&](double* seconds, std::string* error) { return TimedExecute(plainList, seconds, error); }},
          {"connects",
           [&](double* seconds, std::string* error) { return RefusedConnects(endpoints, seconds, error); }},
      });
}

}  // namespace

void RegisterFailoverBenchmarks() {
  benchmark::RegisterBenchmark(kName, FailoverSideBySide)
      ->UseManualTime()
      ->Iterations(kRounds)
      ->Unit(benchmark::kMicrosecond);

  Row row;
  row.label = "Execute via 3 refusing servers, less bare connects, vs plain";
  row.kind = RowKind::kCounterRatioAtMost;
  row.subject = kName;
  row.counter = "failover_p10";
  row.floorCounter = "plain_p10";
  row.allowanceCounter = "connects_p10";
  row.goal = kFailoverGoal;
  AddRow(row);
}

}  // namespace bench
