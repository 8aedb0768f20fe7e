// The reference service as a small deployment: 64 clients at once signing in
// and sending lease handshakes, each with a fresh connection per request,
// against the service on a SQLite file, on PostgreSQL and on ":memory:",
// side by side in one benchmark; plus what 100,000 accounts cost in store
// size and service memory.
//
// The client library keeps one session per process, so the 64 clients are
// threads posting the library's own request bodies (as SignInBench's floor
// does), each for its own account.
#include <benchmark/benchmark.h>
#include <stdlib.h>  // mkdtemp
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "bench/BarePost.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "bench/ServiceProcess.h"
#include "protection/BodyCodec.h"
#include "transport/HttpCmd.h"

#if PROXYHELPER_DEVSERVER_POSTGRES
#include <libpq-fe.h>
#endif

namespace bench {
namespace {

constexpr int kClients = 64;
// Requests per client in one timed round, and rounds per repetition: about
// a second per round on two cores.
constexpr int kPerClient = 12;
constexpr int kRounds = 2;
// Accounts created to weigh each store, figures given per 100,000: all of
// them where registering is fast; a fifth, scaled, on PostgreSQL, whose
// size grows linearly and whose service memory does not grow at all.
constexpr int kAccounts = 100000;
constexpr int kPostgresAccounts = 20000;
constexpr double kHandshakeTimeGoal = 2.0;  // SQLite at least half as fast
constexpr double kP99Limit = 0.050;
// A server id without its own pool: leases come from the shared pool.
constexpr char kVpnServer[] = "301";
constexpr long kRequestTimeoutMs = 10000;
// No round or set-up step runs longer, whatever the service does.
constexpr double kStepLimitSeconds = 60;
constexpr char kPostgresVariable[] = "PROXYHELPER_BENCH_POSTGRES";

using SteadyClock = std::chrono::steady_clock;

double Since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

enum class Kind { kMemory, kSqlite, kPostgres };

int WeighedAccounts(Kind kind) { return kind == Kind::kPostgres ? kPostgresAccounts : kAccounts; }

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kMemory:
      return "memory";
    case Kind::kSqlite:
      return "sqlite";
    default:
      return "postgres";
  }
}

std::string Body(const std::vector<std::pair<std::string, std::string>>& fields) {
  CHttpCmd command(OperationContext::Begin(), "", 80);
  for (const auto& field : fields) command.AddParam(field.first, field.second);
  return EncodeBody(command.BuildForm(), 1);
}

// key=value items of a decoded reply (sections ignored).
std::map<std::string, std::string> ReplyItems(const std::string& reply) {
  std::map<std::string, std::string> items;
  std::istringstream lines(DecodeBody(reply));
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) items[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return items;
}

// Posts and checks for HTTP 200 with result 0; the items on success.
bool PostAccepted(const std::string& url, const std::string& body, std::map<std::string, std::string>* items,
                  std::string* error) {
  std::string reply;
  const long status = BarePost(url, body, reply, kRequestTimeoutMs);
  if (status != 200) {
    *error = "HTTP status " + std::to_string(status);
    return false;
  }
  *items = ReplyItems(reply);
  if ((*items)["result"] != "0") {
    *error = "result " + (*items)["result"] + " " + (*items)["errdesc"];
    return false;
  }
  return true;
}

// Runs work(i) for i in [0, count) on kClients threads; the first error wins.
bool OnClients(int count, const std::function<bool(int, std::string*)>& work, std::string* error) {
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  const auto start = SteadyClock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([&] {
      std::string problem;
      for (int i = next++; i < count && !failed; i = next++) {
        if (Since(start) > kStepLimitSeconds) problem = "took longer than the step limit";
        if (!problem.empty() || !work(i, &problem)) {
          std::lock_guard<std::mutex> lock(mutex);
          if (!failed.exchange(true)) *error = problem;
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  return !failed;
}

double ProcessRssBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 6, "VmRSS:") == 0) return std::atof(line.c_str() + 6) * 1024.0;
  }
  return -1;
}

// The SQLite file with its write-ahead log.
double SqliteBytes(const std::string& path) {
  double total = 0;
  for (const char* suffix : {"", "-wal"}) {
    std::error_code ignored;
    const auto size = std::filesystem::file_size(path + suffix, ignored);
    if (!ignored) total += static_cast<double>(size);
  }
  return total;
}

double PostgresBytes(const std::string& conninfo) {
#if PROXYHELPER_DEVSERVER_POSTGRES
  PGconn* connection = PQconnectdb(conninfo.c_str());
  double bytes = -1;
  if (PQstatus(connection) == CONNECTION_OK) {
    PGresult* result = PQexec(connection, "SELECT pg_database_size(current_database())");
    if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1) {
      bytes = std::atof(PQgetvalue(result, 0, 0));
    }
    PQclear(result);
  }
  PQfinish(connection);
  return bytes;
#else
  (void)conninfo;
  return -1;
#endif
}

struct Client {
  std::string name;
  std::string password;
  std::string signIn;     // loginin.php body
  std::string handshake;  // verification.php body, for the current lease
  std::string magic;      // the session of that lease
};

// One service on one store, set up once per run and kept.
struct Deployment {
  Kind kind = Kind::kMemory;
  std::string location;  // what OpenStore opens
  ServiceProcess service;
  std::string base;  // "http://host:port/vpn_intl/"
  std::vector<Client> signers;
  std::vector<Client> shakers;
  std::string error;           // set-up failed (or skipped: ...)
  double registerSeconds = 0;  // per account, while weighing
  double rssPer100k = 0;
  double sizePer100k = -1;  // -1: not a file or database of its own
};

struct Deployments {
  std::string directory;
  std::map<Kind, std::unique_ptr<Deployment>> byKind;
  ~Deployments() {
    for (auto& entry : byKind) entry.second->service.Stop();
    if (!directory.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(directory, ignored);
    }
  }
};

Deployments& All() {
  static Deployments deployments;
  return deployments;
}

// Unique per run, so a database given from outside can be reused.
const std::string& NamePrefix() {
  static const std::string prefix = "sb" + std::to_string(::getpid()) + "t" +
                                    std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                       std::chrono::system_clock::now().time_since_epoch())
                                                       .count() %
                                                   100000000);
  return prefix;
}

bool RegisterAccounts(const std::string& url, const std::string& tag, int count, std::string* error) {
  return OnClients(
      count,
      [&](int i, std::string* problem) {
        std::map<std::string, std::string> items;
        const std::string name = NamePrefix() + tag + std::to_string(i);
        return PostAccepted(url, Body({{"username", name}, {"password", "pw-" + name}}), &items, problem);
      },
      error);
}

std::vector<Client> MakeClients(const std::string& tag) {
  std::vector<Client> clients(kClients);
  for (int i = 0; i < kClients; ++i) {
    clients[i].name = NamePrefix() + tag + std::to_string(i);
    clients[i].password = "pw-" + clients[i].name;
    clients[i].signIn = Body({{"username", clients[i].name},
                              {"password", clients[i].password},
                              {"mid", "bench-machine-" + std::to_string(i)}});
  }
  return clients;
}

// A fresh session and lease for every handshake client: leases silent for
// a few heartbeat slots end, and repetitions may be minutes apart. Signing
// out first returns the previous lease to the pool.
bool RenewLeases(Deployment& d, std::string* error) {
  return OnClients(
      kClients,
      [&](int i, std::string* problem) {
        Client& client = d.shakers[i];
        std::map<std::string, std::string> items;
        if (!client.magic.empty()) {
          std::string ignored;
          PostAccepted(d.base + "logout.php", Body({{"username", client.name}, {"magic", client.magic}}),
                       &items, &ignored);
        }
        if (!PostAccepted(d.base + "loginin.php", client.signIn, &items, problem)) return false;
        const std::string magic = items["magic"];
        client.magic = magic;
        if (!PostAccepted(d.base + "getdailupinfo.php",
                          Body({{"username", client.name}, {"magic", magic}, {"vpnserverid", kVpnServer}}),
                          &items, problem)) {
          *problem = "getdailupinfo: " + *problem;
          return false;
        }
        client.handshake = Body({{"username", client.name},
                                 {"magic", magic},
                                 {"dailsession", items["dailsession"]},
                                 {"lendusername", items["lendusername"]},
                                 {"vpnserverid", kVpnServer}});
        return true;
      },
      error);
}

std::string MakeDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/proxyhelper-storebench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

void SetUp(Deployment& d) {
  if (d.kind == Kind::kPostgres) {
    const char* conninfo = std::getenv(kPostgresVariable);
    if (!PROXYHELPER_DEVSERVER_POSTGRES) {
      d.error = std::string(kSkippedPrefix) + "no PostgreSQL (built without libpq)";
      return;
    }
    if (conninfo == nullptr || *conninfo == '\0') {
      d.error = std::string(kSkippedPrefix) + "no PostgreSQL (" + kPostgresVariable + " unset)";
      return;
    }
    d.location = conninfo;
  } else if (d.kind == Kind::kSqlite) {
    Deployments& all = All();
    if (all.directory.empty()) all.directory = MakeDirectory();
    if (all.directory.empty()) {
      d.error = "cannot create a temporary directory";
      return;
    }
    d.location = all.directory + "/store.db";
  } else {
    d.location = ":memory:";
  }

  // Every thread of earlier benchmarks has ended by now, so forking here is
  // as safe as before the first one.
  ServiceSetup setup;
  setup.hosts = {"127.0.0.1"};
  setup.keys = BenchKeys();
  setup.store = d.location;
  setup.sharedCredentials = 2 * kClients;
  if (!d.service.Start(setup, &d.error)) {
    d.error = std::string(KindName(d.kind)) + " service: " + d.error;
    return;
  }
  d.base = "http://" + d.service.Address(0) + "/vpn_intl/";
  const std::string registerUrl = d.base + "register.php";

  // The clients' own accounts first: they also bring every server thread
  // and its allocator arena into use before the baseline.
  std::string problem;
  if (!RegisterAccounts(registerUrl, "s", kClients, &problem) ||
      !RegisterAccounts(registerUrl, "h", kClients, &problem)) {
    d.error = "register: " + problem;
    return;
  }
  d.signers = MakeClients("s");
  d.shakers = MakeClients("h");

  auto storeBytes = [&d] {
    if (d.kind == Kind::kSqlite) return SqliteBytes(d.location);
    if (d.kind == Kind::kPostgres) return PostgresBytes(d.location);
    return -1.0;
  };
  const double rssBefore = ProcessRssBytes(d.service.Pid());
  const double sizeBefore = storeBytes();
  const auto start = SteadyClock::now();
  const int weighed = WeighedAccounts(d.kind);
  if (!RegisterAccounts(registerUrl, "f", weighed, &problem)) {
    d.error = "register: " + problem;
    return;
  }
  d.registerSeconds = Since(start) / weighed;
  const double per100k = static_cast<double>(kAccounts) / weighed;
  d.rssPer100k = (ProcessRssBytes(d.service.Pid()) - rssBefore) * per100k;
  if (d.kind != Kind::kMemory) {
    const double sizeAfter = storeBytes();
    if (sizeBefore < 0 || sizeAfter < 0) {
      d.error = "cannot read the store's size";
      return;
    }
    d.sizePer100k = (sizeAfter - sizeBefore) * per100k;
  }
}

Deployment& Get(Kind kind) {
  std::unique_ptr<Deployment>& slot = All().byKind[kind];
  if (!slot) {
    slot = std::make_unique<Deployment>();
    slot->kind = kind;
    SetUp(*slot);
  }
  return *slot;
}

struct Latencies {
  std::vector<double> samples;
  double wall = 0;  // summed over rounds
  int requests = 0;
};

// kClients threads, each posting its own body kPerClient times, released
// together; the round's wall time counts from the release to the last reply.
bool TimedRound(const std::string& url, const std::vector<Client>& clients, std::string Client::*body,
                Latencies* out, std::string* error) {
  std::vector<std::vector<double>> perThread(clients.size());
  std::atomic<bool> go{false};
  std::atomic<bool> failed{false};
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < clients.size(); ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      const auto begin = SteadyClock::now();
      std::string reply;
      for (int i = 0; i < kPerClient && !failed; ++i) {
        const auto start = SteadyClock::now();
        const long status = BarePost(url, clients[t].*body, reply, kRequestTimeoutMs);
        perThread[t].push_back(Since(start));
        std::string problem;
        if (status != 200) {
          problem = "HTTP status " + std::to_string(status);
        } else if (DecodeBody(reply).compare(0, 9, "result=0\n") != 0) {
          problem = "refused: " + DecodeBody(reply).substr(0, 80);
        } else if (Since(begin) > kStepLimitSeconds) {
          problem = "round took longer than the step limit";
        }
        if (!problem.empty()) {
          std::lock_guard<std::mutex> lock(mutex);
          if (!failed.exchange(true)) *error = problem;
        }
      }
    });
  }
  const auto start = SteadyClock::now();
  go = true;
  for (std::thread& thread : threads) thread.join();
  out->wall += Since(start);
  for (const auto& samples : perThread) {
    out->samples.insert(out->samples.end(), samples.begin(), samples.end());
    out->requests += static_cast<int>(samples.size());
  }
  return !failed;
}

void StoresSideBySide(benchmark::State& state, std::vector<Kind> kinds) {
  std::vector<Deployment*> deployments;
  for (Kind kind : kinds) {
    Deployment& d = Get(kind);
    if (!d.error.empty()) {
      state.SkipWithError(d.error.c_str());
      return;
    }
    deployments.push_back(&d);
  }
  static int repetition = 0;
  const int first = repetition++;
  std::map<Kind, Latencies> signIns, handshakes;
  std::string error;
  for (auto _ : state) {
    for (Deployment* d : deployments) {
      if (!RenewLeases(*d, &error)) {
        state.SkipWithError((std::string(KindName(d->kind)) + " lease: " + error).c_str());
        return;
      }
    }
    // Each round starts at another store, so a burst of other load on the
    // machine hits every store alike.
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t k = 0; k < deployments.size(); ++k) {
        Deployment& d = *deployments[(k + first + round) % deployments.size()];
        if (!TimedRound(d.base + "loginin.php", d.signers, &Client::signIn, &signIns[d.kind], &error) ||
            !TimedRound(d.base + "verification.php", d.shakers, &Client::handshake, &handshakes[d.kind],
                        &error)) {
          state.SkipWithError((std::string(KindName(d.kind)) + ": " + error).c_str());
          return;
        }
      }
    }
  }
  state.counters["p99_limit"] = kP99Limit;
  for (Deployment* d : deployments) {
    const std::string name = KindName(d->kind);
    for (const auto& op : {std::make_pair("signin", &signIns), std::make_pair("handshake", &handshakes)}) {
      const Latencies& l = (*op.second)[d->kind];
      state.counters[name + "_" + op.first + "_s"] = l.wall / std::max(1, l.requests);
      state.counters[name + "_" + op.first + "_p50"] = Percentile(l.samples, 0.50);
      state.counters[name + "_" + op.first + "_p99"] = Percentile(l.samples, 0.99);
    }
    state.counters[name + "_register_s"] = d->registerSeconds;
    state.counters[name + "_rss_per_100k"] = d->rssPer100k;
    if (d->sizePer100k >= 0) state.counters[name + "_size_per_100k"] = d->sizePer100k;
  }
}

constexpr char kSqliteName[] = "store/sqlite_vs_memory";
constexpr char kPostgresName[] = "store/postgres_vs_memory";

void AddStoreRows(const std::string& subject, const std::string& kind, const std::string& label) {
  for (const auto& op : {std::make_pair("signin", "sign-ins"), std::make_pair("handshake", "handshakes")}) {
    const std::string prefix = kind + "_" + op.first;
    Row rate;
    rate.label = label + " store: " + op.second + " per second, " + std::to_string(kClients) + " clients";
    rate.kind = RowKind::kRateAtLeast;
    rate.subject = subject;
    rate.counter = prefix + "_s";
    AddRow(rate);
    Row p50;
    p50.label = "  p50 per request vs 50 ms";
    p50.kind = RowKind::kCounterRatioAtMost;
    p50.subject = subject;
    p50.counter = prefix + "_p50";
    p50.floorCounter = "p99_limit";
    AddRow(p50);
    Row p99 = p50;
    p99.label = "  p99 per request vs 50 ms";
    p99.counter = prefix + "_p99";
    p99.goal = 1.0;
    AddRow(p99);
  }
}

void AddWeightRows(const std::string& subject, const std::string& kind, const std::string& label,
                   bool hasSize, bool scaled) {
  const std::string how = scaled ? " (20k made, x5)" : "";
  Row rss;
  rss.label = label + " store: service RSS growth per 100k accounts" + how;
  rss.kind = RowKind::kMebibytesBelow;
  rss.subject = subject;
  rss.counter = kind + "_rss_per_100k";
  AddRow(rss);
  if (hasSize) {
    Row size = rss;
    size.label = label + " store: its growth per 100k accounts" + how;
    size.counter = kind + "_size_per_100k";
    AddRow(size);
  }
  Row signUps;
  signUps.label = label + " store: registrations per second, " + std::to_string(kClients) + " clients";
  signUps.kind = RowKind::kRateAtLeast;
  signUps.subject = subject;
  signUps.counter = kind + "_register_s";
  AddRow(signUps);
}

}  // namespace

void RegisterStoreBenchmarks() {
  // One iteration of kRounds rounds per store; the table takes the best of
  // the repetitions.
  benchmark::RegisterBenchmark(kSqliteName, StoresSideBySide, std::vector<Kind>{Kind::kMemory, Kind::kSqlite})
      ->Iterations(1)
      ->Repetitions(3)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark(kPostgresName, StoresSideBySide,
                               std::vector<Kind>{Kind::kMemory, Kind::kPostgres})
      ->Iterations(1)
      ->Repetitions(3)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);

  Row ratio;
  ratio.label = "store SQLite vs :memory: time per handshake (64 clients)";
  ratio.kind = RowKind::kCounterRatioAtMost;
  ratio.subject = kSqliteName;
  ratio.counter = "sqlite_handshake_s";
  ratio.floorCounter = "memory_handshake_s";
  ratio.goal = kHandshakeTimeGoal;
  AddRow(ratio);
  Row signInRatio = ratio;
  signInRatio.label = "  the same for sign-ins";
  signInRatio.counter = "sqlite_signin_s";
  signInRatio.floorCounter = "memory_signin_s";
  signInRatio.goal = 0;
  AddRow(signInRatio);
  Row postgresRatio = ratio;
  postgresRatio.label = "store PostgreSQL vs :memory: time per handshake";
  postgresRatio.subject = kPostgresName;
  postgresRatio.counter = "postgres_handshake_s";
  postgresRatio.goal = 0;
  AddRow(postgresRatio);
  Row postgresSignIn = postgresRatio;
  postgresSignIn.label = "  the same for sign-ins";
  postgresSignIn.counter = "postgres_signin_s";
  postgresSignIn.floorCounter = "memory_signin_s";
  AddRow(postgresSignIn);

  AddStoreRows(kSqliteName, "memory", ":memory:");
  AddStoreRows(kSqliteName, "sqlite", "SQLite");
  AddStoreRows(kPostgresName, "postgres", "PostgreSQL");
  AddWeightRows(kSqliteName, "memory", ":memory:", false, false);
  AddWeightRows(kSqliteName, "sqlite", "SQLite", true, false);
  AddWeightRows(kPostgresName, "postgres", "PostgreSQL", true, kPostgresAccounts != kAccounts);
}

}  // namespace bench
