// Connection reuse ("GC_HTTP_REUSE" 1) against a new connection per attempt
// (0, the default), at 50 ms round-trip time: the reference service in a
// child process, reached through a LatencyShim on 127.0.0.1. Each side of
// a comparison runs alternately in one benchmark (bench/Interleaved.h); a
// few rounds suffice, since the simulated round trips dominate and do not
// vary.
//
// Rows (scripts/bench.sh's table):
//   "Start burst, http, 50 ms RTT: reuse on vs off"       goal <= 0.65x
//   "Start burst, TLS 1.3, 50 ms RTT: reuse on vs off"    goal <= 0.5x
//       SignIn, GetUserInfo, GetVpnServers, GetOnlineRatio, GetDailupInfo
//       and the first ShakeHands, timed as one; ReleaseDialupInfo and
//       SignOut follow untimed. Every round starts cold: the shim closes
//       whatever the last round left open. Off, each exchange pays its
//       connect (and TLS handshake) round trips; on, only the first. The
//       goals hold only while the service keeps a connection for six
//       requests (devserver::ConnectionLimits).
//   "Heartbeat, TLS 1.3, after the idle bound: CPU, resumed vs full
//   handshake" (information)
//       One ShakeHands on a new connection after "GC_HTTP_IDLE_MS" (100)
//       closed the pooled one, so the TLS session is resumed from the
//       shared cache, beside one with reuse off (a full handshake). CPU time
//       of the calling thread, which runs the whole transfer.
//   "  heartbeat on a kept connection vs full handshake" (information)
//       The same heartbeat right after another on the pooled connection.
//
// Counters besides the times: "<side>_connections", the most connections
// the shim accepted in one round (6 per burst without reuse, 1 with);
// "<side>_resumed_share", the part of the heartbeats whose TLS handshake
// resumed a session; "tls13_share", the part of the handshakes on TLS 1.3
// (both read from the ServerHello as it passes the shim).
#include <benchmark/benchmark.h>
#include <stdlib.h>  // mkdtemp

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/BenchEnvironment.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "bench/ServiceProcess.h"
#include "bench/ShimmedService.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "tools/devserver/Certificates.h"
#include "wire/Vocabulary.h"

namespace bench {
namespace {

constexpr std::chrono::milliseconds kRoundTrip{50};
constexpr int kHeartbeatIdleMs = 100;
// Past the idle bound, with room for a late timer.
constexpr std::chrono::milliseconds kPastIdle{kHeartbeatIdleMs + 50};
constexpr int kVpnServerId = 101;

constexpr double kPlainBurstGoal = 0.65;
constexpr double kTlsBurstGoal = 0.5;
constexpr int kBurstRounds = 3;
constexpr int kHeartbeatRounds = 6;

constexpr char kPlainBurstName[] = "reuse/start_burst_http_50ms";
constexpr char kTlsBurstName[] = "reuse/start_burst_tls13_50ms";
constexpr char kHeartbeatName[] = "reuse/heartbeat_tls13_after_idle";

using SteadyClock = std::chrono::steady_clock;

double Since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// What the TLS services chose, as the shim saw each ServerHello go by:
// TLS 1.3 (its "supported_versions" extension says 0x0304) and a resumed
// session (a "pre_shared_key" extension, sent only when the server accepts
// one of the client's tickets). Read by hand: a few fixed offsets, where a
// TLS library would want the whole handshake.
struct HandshakeTally {
  std::atomic<int> hellos{0};
  std::atomic<int> tls13{0};
  std::atomic<int> resumed{0};
};

void TallyServerHello(HandshakeTally* tally, const std::string& bytes) {
  auto at = [&bytes](std::size_t i) { return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : -1; };
  // A handshake record (22) opening with a ServerHello (2).
  if (at(0) != 22 || at(5) != 2) return;
  std::size_t i = 5 + 4 + 2 + 32;  // record and handshake headers, version, random
  if (at(i) < 0) return;
  i += 1 + static_cast<std::size_t>(at(i)) + 2 + 1;  // session id, cipher suite, compression
  if (at(i + 1) < 0) return;
  const std::size_t end = std::min(bytes.size(), i + 2 + static_cast<std::size_t>(at(i) << 8 | at(i + 1)));
  ++tally->hellos;
  for (i += 2; i + 4 <= end;) {
    const int type = at(i) << 8 | at(i + 1);
    const std::size_t length = static_cast<std::size_t>(at(i + 2) << 8 | at(i + 3));
    if (type == 43 && length == 2 && at(i + 4) == 3 && at(i + 5) == 4) ++tally->tls13;
    if (type == 41) ++tally->resumed;
    i += 4 + length;
  }
}

// The part of the handshakes since the counts given that chose TLS 1.3.
double Tls13Share(const HandshakeTally& tally, int hellosBefore, int tls13Before) {
  const int hellos = tally.hellos - hellosBefore;
  return hellos > 0 ? static_cast<double>(tally.tls13 - tls13Before) / hellos : 0;
}

// The two services behind their shims, forked at registration (before any
// thread exists) and stopped at exit.
struct Routes {
  std::string directory;  // TLS files
  std::string caFile;
  ShimmedService plain, tls;
  std::string error;          // why the routes are missing
  HandshakeTally handshakes;  // of the TLS service
};

Routes& TheRoutes() {
  static Routes* routes = new Routes;
  return *routes;
}

void StopRoutes() {
  Routes& r = TheRoutes();
  for (ShimmedService* s : {&r.plain, &r.tls}) s->Stop();
  if (!r.directory.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(r.directory, ignored);
    r.directory.clear();
  }
}

bool StartRoutes(std::string* error) {
  Routes& r = TheRoutes();
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/proxyhelper-bench-tls-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot create a temporary directory";
    return false;
  }
  r.directory = pattern;
  devserver::TlsFiles files;
  if (!devserver::CreateLoopbackTlsFiles(r.directory, &files, &r.caFile, error)) return false;
  if (!r.plain.Bind(error) || !r.tls.Bind(error)) return false;
  r.tls.shim().SetFirstBytesObserver([&r](int way, const std::string& bytes) {
    if (way == 1) TallyServerHello(&r.handshakes, bytes);
  });
  ShimmedServiceSetup setup;
  setup.keys = BenchKeys();
  setup.tlsFiles = files;
  if (!r.plain.StartService(setup, error)) return false;
  setup.tls = true;
  return r.tls.StartService(setup, error);
}

// The client's settings for one benchmark, put back when it ends: the
// other benchmarks run with the defaults and the main server.
class ClientSettings {
 public:
  explicit ClientSettings(const std::string& caFile) {
    GlobalCache::Instance().SetConfigItem(protocol::kGcCaBundle, caFile);
  }
  ~ClientSettings() {
    GlobalCache& cache = GlobalCache::Instance();
    cache.RemoveConfigItem(protocol::kGcHttpReuse);
    cache.RemoveConfigItem(protocol::kGcHttpIdleMs);
    cache.RemoveConfigItem(protocol::kGcCaBundle);
    UseAccountServers(MainServer());
  }
  ClientSettings(const ClientSettings&) = delete;
  ClientSettings& operator=(const ClientSettings&) = delete;
};

void SetReuse(bool on) { GlobalCache::Instance().SetConfigItem(protocol::kGcHttpReuse, on ? 1 : 0); }

// Starts the shims of `services` for one benchmark and stops them after.
class RunningShims {
 public:
  RunningShims(std::vector<ShimmedService*> services, std::string* error) : services_(std::move(services)) {
    for (ShimmedService* s : services_) {
      if (!s->StartShim(kRoundTrip, error)) {
        ok_ = false;
        return;
      }
    }
  }
  ~RunningShims() {
    for (ShimmedService* s : services_) s->StopShim();
  }
  RunningShims(const RunningShims&) = delete;
  RunningShims& operator=(const RunningShims&) = delete;
  bool ok() const { return ok_; }

 private:
  std::vector<ShimmedService*> services_;
  bool ok_ = true;
};

// Fails with the step's name and result.
bool Step(const char* name, int result, std::string* error) {
  if (result == 0) return true;
  *error = std::string(name) + " returned " + std::to_string(result);
  return false;
}

// The six exchanges an application makes when it starts, from a cold start.
bool StartBurst(ShimmedService& route, bool reuse, std::size_t* connections, double* seconds,
                std::string* error) {
  SetReuse(reuse);
  UseAccountServers(route.ClientAddress());
  // Nothing left open from the last round: the next SignIn connects anew.
  route.shim().CloseAll();
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo refusal;
  UserInfo info;
  std::map<std::string, std::vector<ServerInfo>> servers;
  std::vector<ServerOnlineRatio> ratios;
  DialupInfo lease;
  const std::size_t before = route.shim().Connections();
  const auto start = SteadyClock::now();
  const bool done = Step("SignIn", helper.SignIn(UserIdentity{kUser, kPassword}, refusal), error) &&
                    Step("GetUserInfo", helper.GetUserInfo(info), error) &&
                    Step("GetVpnServers", helper.GetVpnServers(servers), error) &&
                    Step("GetOnlineRatio", helper.GetOnlineRatio(ratios), error) &&
                    Step("GetDailupInfo", helper.GetDailupInfo(kVpnServerId, lease, refusal), error) &&
                    Step("ShakeHands", helper.ShakeHands({lease.lendusername, kVpnServerId}, refusal), error);
  *seconds = Since(start);
  *connections = route.shim().Connections() - before;
  // Untimed: the lease goes back and the session ends, so every round
  // starts alike.
  helper.ReleaseDialupInfo(0);
  helper.SignOut();
  return done;
}

void BurstSideBySide(benchmark::State& state, bool tls) {
  Routes& routes = TheRoutes();
  if (!routes.error.empty()) {
    state.SkipWithError(routes.error.c_str());
    return;
  }
  ShimmedService* route = tls ? &routes.tls : &routes.plain;
  std::string error;
  RunningShims shims({route}, &error);
  if (!shims.ok()) {
    state.SkipWithError(error.c_str());
    return;
  }
  ClientSettings settings(routes.caFile);
  const int hellosBefore = routes.handshakes.hellos, tls13Before = routes.handshakes.tls13;
  std::map<std::string, std::size_t> connections;
  auto side = [&connections, route](const std::string& name, bool reuse) {
    return NamedOperation{name, [&connections, name, route, reuse](double* seconds, std::string* why) {
                            std::size_t opened = 0;
                            const bool ok = StartBurst(*route, reuse, &opened, seconds, why);
                            connections[name] = std::max(connections[name], opened);
                            return ok;
                          }};
  };
  RunInterleaved(state, {side("reuse", true), side("fresh", false)});
  for (const auto& entry : connections) {
    state.counters[entry.first + "_connections"] = static_cast<double>(entry.second);
  }
  if (tls) state.counters["tls13_share"] = Tls13Share(routes.handshakes, hellosBefore, tls13Before);
}

// One heartbeat, timed in CPU seconds of this thread; `opened` receives the
// connections the shim accepted meanwhile.
bool TimedHeartbeat(ShimmedService& route, const DialupInfo& lease, double* cpuSeconds, double* wallSeconds,
                    std::size_t* opened, std::string* error) {
  VPErrorInfo refusal;
  const std::size_t before = route.shim().Connections();
  const auto start = SteadyClock::now();
  const double cpuStart = ThreadCpuSeconds();
  const int result = ProxyHelper::Instance().ShakeHands({lease.lendusername, kVpnServerId}, refusal);
  *cpuSeconds = ThreadCpuSeconds() - cpuStart;
  *wallSeconds = Since(start);
  *opened = route.shim().Connections() - before;
  return Step("ShakeHands", result, error);
}

void HeartbeatSideBySide(benchmark::State& state) {
  Routes& routes = TheRoutes();
  if (!routes.error.empty()) {
    state.SkipWithError(routes.error.c_str());
    return;
  }
  ShimmedService& route = routes.tls;
  std::string error;
  RunningShims shims({&route}, &error);
  if (!shims.ok()) {
    state.SkipWithError(error.c_str());
    return;
  }
  ClientSettings settings(routes.caFile);
  GlobalCache::Instance().SetConfigItem(protocol::kGcHttpIdleMs, kHeartbeatIdleMs);
  SetReuse(true);
  UseAccountServers(route.ClientAddress());
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo refusal;
  UserInfo info;
  DialupInfo lease;
  double cpu = 0, wall = 0;
  std::size_t opened = 0;
  // The last of these leaves a TLS session in the shared cache.
  if (!Step("SignIn", helper.SignIn(UserIdentity{kUser, kPassword}, refusal), &error) ||
      !Step("GetUserInfo", helper.GetUserInfo(info), &error) ||
      !Step("GetDailupInfo", helper.GetDailupInfo(kVpnServerId, lease, refusal), &error) ||
      !TimedHeartbeat(route, lease, &cpu, &wall, &opened, &error)) {
    state.SkipWithError(error.c_str());
    helper.SignOut();
    return;
  }

  std::map<std::string, std::vector<double>> walls;
  std::map<std::string, std::size_t> connections;
  std::map<std::string, int> resumedHandshakes;
  const int hellosBefore = routes.handshakes.hellos, tls13Before = routes.handshakes.tls13;
  // One timed heartbeat of the side `name`, its wall time, connections
  // and resumed handshakes noted.
  auto beat = [&](const std::string& name, double* seconds, std::string* why) {
    const int resumedBefore = routes.handshakes.resumed;
    if (!TimedHeartbeat(route, lease, seconds, &wall, &opened, why)) return false;
    walls[name].push_back(wall);
    connections[name] = std::max(connections[name], opened);
    resumedHandshakes[name] += routes.handshakes.resumed - resumedBefore;
    return true;
  };
  auto oneNewConnection = [&opened](std::string* why) {
    *why = "expected one new connection, the shim saw " + std::to_string(opened);
    return opened == 1;
  };
  RunInterleaved(state, {
                            {"resumed",
                             [&](double* seconds, std::string* why) {
                               SetReuse(true);
                               // The pooled connection outlives the idle bound and is closed;
                               // the heartbeat connects anew and resumes the session.
                               std::this_thread::sleep_for(kPastIdle);
                               return beat("resumed", seconds, why) && oneNewConnection(why);
                             }},
                            {"kept",
                             [&](double* seconds, std::string* why) {
                               SetReuse(true);
                               // Untimed: makes sure a fresh connection is in the pool.
                               double untimed = 0;
                               if (!TimedHeartbeat(route, lease, &untimed, &wall, &opened, why)) return false;
                               return beat("kept", seconds, why);
                             }},
                            {"full",
                             [&](double* seconds, std::string* why) {
                               SetReuse(false);
                               return beat("full", seconds, why) && oneNewConnection(why);
                             }},
                        });
  for (const auto& entry : walls) {
    const std::string& name = entry.first;
    state.counters[name + "_wall_median"] = Percentile(entry.second, 0.5);
    state.counters[name + "_connections"] = static_cast<double>(connections[name]);
    // Of the heartbeats, the part whose handshake resumed a session.
    state.counters[name + "_resumed_share"] =
        static_cast<double>(resumedHandshakes[name]) / static_cast<double>(entry.second.size());
  }
  state.counters["tls13_share"] = Tls13Share(routes.handshakes, hellosBefore, tls13Before);
  helper.ReleaseDialupInfo(0);
  helper.SignOut();
}

void AddBurstRow(const char* name, const std::string& scheme, double goal) {
  Row row;
  row.label = "Start burst, " + scheme + ", 50 ms RTT: reuse on vs off";
  row.kind = RowKind::kCounterRatioAtMost;
  row.subject = name;
  row.counter = "reuse_p10";
  row.floorCounter = "fresh_p10";
  row.goal = goal;
  AddRow(row);
}

}  // namespace

void RegisterReuseBenchmarks() {
  Routes& routes = TheRoutes();
  std::string error;
  if (!StartRoutes(&error)) routes.error = "latency shim services: " + error;
  std::atexit(StopRoutes);

  // One repetition whatever the command line says: each round takes a
  // second or two of simulated round trips, and they do not vary.
  benchmark::RegisterBenchmark(kPlainBurstName,
                               [](benchmark::State& state) { BurstSideBySide(state, false); })
      ->UseManualTime()
      ->Iterations(kBurstRounds)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(kTlsBurstName, [](benchmark::State& state) { BurstSideBySide(state, true); })
      ->UseManualTime()
      ->Iterations(kBurstRounds)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(kHeartbeatName, HeartbeatSideBySide)
      ->UseManualTime()
      ->Iterations(kHeartbeatRounds)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);

  AddBurstRow(kPlainBurstName, "http", kPlainBurstGoal);
  AddBurstRow(kTlsBurstName, "TLS 1.3", kTlsBurstGoal);

  Row heartbeat;
  heartbeat.label = "Heartbeat, TLS 1.3, after the idle bound: CPU, resumed vs full handshake";
  heartbeat.kind = RowKind::kCounterRatioAtMost;
  heartbeat.subject = kHeartbeatName;
  heartbeat.counter = "resumed_p10";
  heartbeat.floorCounter = "full_p10";
  AddRow(heartbeat);

  Row kept = heartbeat;
  kept.label = "  heartbeat on a kept connection vs full handshake";
  kept.counter = "kept_p10";
  AddRow(kept);
}

}  // namespace bench
