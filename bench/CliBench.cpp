// `proxyhelper servers` on the 1,000,000-server catalogue of the second
// service, as a user runs it (the built CLI, output to /dev/null), next to
// the library alone doing the same calls in a program of its own
// (bench/CatalogueClient.cpp): wall time, CPU time and peak resident size of
// each whole process (CPU time from wait4, the resident peak polled from
// /proc). The three run alternately in each round.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "bench/BenchEnvironment.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"

extern char** environ;

namespace bench {
namespace {

constexpr char kName[] = "cli/servers_1m";
// Each run takes seconds, most of them the service building its reply.
constexpr int kRounds = 2;
constexpr double kTimeGoal = 1.5;
constexpr double kPeakGoal = 1.3;
constexpr int kRunBoundSeconds = 300;

// One whole process, measured from the outside.
struct ProcessCost {
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user and system
  double peakBytes = 0;   // resident high-water mark
};

// The resident high-water mark of a running process, in bytes (0 once it
// has exited). Not wait4's ru_maxrss: posix_spawn's child execs from this
// process's memory, and Linux carries that memory's high-water mark over
// into the child's.
std::int64_t ResidentHighWater(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::atoll(line.c_str() + 6) * 1024;
  }
  return 0;
}

// Runs `argv` with stdout to /dev/null and `environment` added; false with
// `error` set when it could not start, did not end in time or failed.
bool Measure(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
             ProcessCost* cost, std::string* error) {
  std::vector<std::string> strings = argv;
  for (char** entry = environ; *entry != nullptr; ++entry) strings.emplace_back(*entry);
  strings.insert(strings.end(), environment.begin(), environment.end());
  std::vector<char*> args;
  std::vector<char*> env;
  for (std::size_t i = 0; i < strings.size(); ++i) (i < argv.size() ? args : env).push_back(&strings[i][0]);
  args.push_back(nullptr);
  env.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    *error = "cannot start " + argv[0];
    return false;
  }
  const auto deadline = start + std::chrono::seconds(kRunBoundSeconds);
  int status = 0;
  rusage usage{};
  pid_t done = 0;
  std::int64_t peak = 0;
  while ((done = ::wait4(pid, &status, WNOHANG, &usage)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    peak = std::max(peak, ResidentHighWater(pid));
    ::usleep(2000);
  }
  cost->wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (done != pid) {
    ::kill(pid, SIGKILL);
    ::wait4(pid, &status, 0, &usage);
    *error = argv[0] + " did not end within " + std::to_string(kRunBoundSeconds) + " s";
    return false;
  }
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  cost->cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  cost->peakBytes = static_cast<double>(peak);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *error = argv[0] + " ended with status " + std::to_string(status);
    return false;
  }
  return true;
}

std::string MakeDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/proxyhelper-bench-cli-XXXXXX";
  return mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
}

void CliServers(benchmark::State& state) {
  const std::string directory = MakeDirectory();
  if (directory.empty()) {
    state.SkipWithError("cannot create a temporary directory");
    return;
  }
  const std::string server = LargeCatalogueServer();
  // The CLI keeps its files under a home of its own.
  const std::vector<std::string> home = {"HOME=" + directory, "XDG_CONFIG_HOME=" + directory + "/config",
                                         "XDG_CACHE_HOME=" + directory + "/cache",
                                         "XDG_STATE_HOME=" + directory + "/state",
                                         "XDG_RUNTIME_DIR=" + directory};
  const std::vector<std::string> cli = {PROXYHELPER_BENCH_CLI, "--servers", server,   "--user", kUser,
                                        "--password",          kPassword,   "servers"};
  std::vector<std::string> jsonLines = cli;
  jsonLines.push_back("--jsonl");
  const std::vector<std::string> library = {PROXYHELPER_BENCH_CATALOGUE_CLIENT, server, kUser, kPassword,
                                            directory};
  std::map<std::string, ProcessCost> best;
  const auto side = [&](const std::string& name, const std::vector<std::string>& argv) {
    return NamedOperation{name, [&, name, argv](double* seconds, std::string* failure) {
                            ProcessCost cost;
                            if (!Measure(argv, home, &cost, failure)) return false;
                            *seconds = cost.wallSeconds;
                            auto found = best.find(name);
                            if (found == best.end()) {
                              best[name] = cost;
                            } else {
                              // Other load only ever adds time; the resident peak is the same work each
                              // time, so its largest is kept.
                              found->second.cpuSeconds = std::min(found->second.cpuSeconds, cost.cpuSeconds);
                              found->second.peakBytes = std::max(found->second.peakBytes, cost.peakBytes);
                            }
                            return true;
                          }};
  };
  RunInterleaved(state, {side("library", library), side("cli_jsonl", jsonLines), side("cli_text", cli)});
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  if (best.size() != 3) return;
  const ProcessCost& floor = best["library"];
  for (const char* name : {"library", "cli_jsonl", "cli_text"}) {
    state.counters[std::string(name) + "_cpu"] = best[name].cpuSeconds;
    state.counters[std::string(name) + "_peak_bytes"] = best[name].peakBytes;
  }
  for (const char* name : {"cli_jsonl", "cli_text"}) {
    state.counters[std::string(name) + "_peak_ratio"] = best[name].peakBytes / floor.peakBytes;
    state.counters[std::string(name) + "_cpu_ratio"] = best[name].cpuSeconds / floor.cpuSeconds;
  }
}

Row CounterRow(const std::string& label, const std::string& counter, double goal) {
  Row row;
  row.label = label;
  row.kind = RowKind::kCounterAtMost;
  row.subject = kName;
  row.counter = counter;
  row.goal = goal;
  return row;
}

Row WallRow(const std::string& label, const std::string& counter) {
  Row row;
  row.label = label;
  row.kind = RowKind::kCounterRatioAtMost;
  row.subject = kName;
  row.counter = counter;
  row.floorCounter = "library_p10";
  row.goal = kTimeGoal;
  return row;
}

}  // namespace

void RegisterCliBenchmarks() {
  benchmark::RegisterBenchmark(kName, CliServers)
      ->UseManualTime()
      ->Iterations(kRounds)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  AddRow(WallRow("servers --jsonl 1,000,000 servers: CLI wall time, vs the library alone", "cli_jsonl_p10"));
  AddRow(CounterRow("  CLI peak resident size / the library alone's", "cli_jsonl_peak_ratio", kPeakGoal));
  AddRow(CounterRow("  CLI CPU time / the library alone's", "cli_jsonl_cpu_ratio", 0));
  AddRow(WallRow("servers (table) 1,000,000 servers: CLI wall time, vs the library alone", "cli_text_p10"));
  AddRow(CounterRow("  CLI peak resident size / the library alone's", "cli_text_peak_ratio", kPeakGoal));
  AddRow(CounterRow("  CLI CPU time / the library alone's", "cli_text_cpu_ratio", 0));
}

}  // namespace bench
