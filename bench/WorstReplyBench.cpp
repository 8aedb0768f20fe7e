// The costliest replies within the client's default bounds
// (bench/WorstReplies.h), each served by a scripted listener on loopback and
// fetched through the public operation it targets, signed in: the peak
// memory of the call, as extra heap (every allocation, libbz2's included,
// the caller's filled result too) and as growth of the process's resident
// high-water mark over the resident size before the call. An application
// then walks every record it got (its first fields, its leading fields,
// a ratio's percentage) while the records are alive, and that counts too.
//
// A second benchmark times the call and the walk of each reply the
// application walks against its twin half as large: growth linear in the
// reply gives about 2, quadratic growth about 4.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "bench/BarePost.h"
#include "bench/BenchEnvironment.h"
#include "bench/HeapMeter.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "bench/WorstReplies.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"

namespace bench {
namespace {

constexpr double kPeakGoalMiB = 512;
constexpr char kName[] = "worst_reply/peak_memory";
// The same reply does not always cost the same: the received body grows
// with the sizes libcurl hands over, so its final capacity varies from call
// to call. The worst of a few calls is kept.
constexpr int kRounds = 3;
// The first request makes the listener build its reply: 64 MiB of text
// through bzip2, which takes seconds.
constexpr long kBuildTimeoutMs = 300000;

constexpr char kWalkName[] = "worst_reply/walk_time";
// Linear is 2; the slack covers fixed costs and the noise of a shared
// machine, well short of the 4 of quadratic growth.
constexpr double kWalkRatioGoal = 2.6;
// Each side's fastest round is kept: other load only ever adds time.
constexpr int kWalkRounds = 3;
// The fields an application reads one by one.
constexpr std::size_t kWalkedFields = 4;

// A "VmRSS:"-style line of /proc/self/status, in bytes; -1 when absent.
std::int64_t StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size(), field) == 0) return std::stoll(line.substr(field.size())) * 1024;
  }
  return -1;
}

// Starts a new resident high-water mark at the current resident size.
bool ResetResidentPeak() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.close();
  return !clear.fail();
}

struct Outcome {
  int result = -1;
  std::size_t records = 0;  // servers, ratios or levels the caller got
  std::size_t fields = 0;   // fields GetFields() handed over, all records together
  std::int64_t checksum = 0;
  double cpuSeconds = 0;  // the call and the walk, this process's CPU time
};

// Process CPU time: work on loopback is all ours, and another process's
// load on the shared cores barely changes it, unlike wall time.
double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One record as an application reads it: the first fields one by one, then
// the leading fields together.
template <typename Record>
void WalkFields(const Record& record, Outcome* outcome) {
  for (std::size_t i = 0; i < kWalkedFields; ++i) {
    outcome->checksum += static_cast<std::int64_t>(record.GetField(i).size());
  }
  const std::vector<std::string> fields = record.GetFields();
  outcome->fields += fields.size();
  for (const std::string& field : fields) outcome->checksum += static_cast<std::int64_t>(field.size());
}

// Runs the operation and walks what it filled; the result is released when
// this returns, after the clock stops.
Outcome Call(ReplyOperation operation) {
  ProxyHelper& helper = ProxyHelper::Instance();
  Outcome outcome;
  const double start = ProcessCpuSeconds();
  switch (operation) {
    case ReplyOperation::kGetVpnServers: {
      ServerCatalogue servers;
      outcome.result = helper.GetVpnServers(servers);
      for (const auto& group : servers) {
        outcome.records += group.second.size();
        for (const ServerInfo& server : group.second) WalkFields(server, &outcome);
      }
      outcome.cpuSeconds = ProcessCpuSeconds() - start;
      break;
    }
    case ReplyOperation::kGetOnlineRatio: {
      std::vector<ServerOnlineRatio> ratios;
      outcome.result = helper.GetOnlineRatio(ratios);
      outcome.records = ratios.size();
      for (const ServerOnlineRatio& ratio : ratios) {
        WalkFields(ratio, &outcome);
        outcome.checksum += ratio.GetRatio();
      }
      outcome.cpuSeconds = ProcessCpuSeconds() - start;
      break;
    }
    case ReplyOperation::kGetUserInfo: {
      UserInfo info;
      outcome.result = helper.GetUserInfo(info);
      outcome.cpuSeconds = ProcessCpuSeconds() - start;
      const void* stored = GlobalCache::Instance().GetValue("GCP_CUR_SERVERCONFIG");
      if (outcome.result == 0 && stored != nullptr) {
        outcome.records = static_cast<const ServerConfig*>(stored)->serverlevel.size();
      }
      break;
    }
  }
  benchmark::DoNotOptimize(outcome.checksum);
  return outcome;
}

// A reply over the bound must be refused; one within the bounds must be
// taken whole, or its figures say nothing about the worst case. Empty when
// the call did as it should.
std::string Misbehaviour(const WorstReply& reply, const Outcome& outcome) {
  const bool right =
      reply.overBound ? outcome.result != 0 : outcome.result == 0 && outcome.records == reply.records;
  if (right) return std::string();
  return reply.name + ": the call returned " + std::to_string(outcome.result) + " with " +
         std::to_string(outcome.records) + " records";
}

// Fetches the reply by hand (which makes the listener build it) and checks
// that it is what it claims: within the body and output bounds, and within
// the entry bound unless meant to be over it.
bool CheckReply(const WorstReply& reply, const std::string& url, benchmark::State& state,
                std::string* error) {
  std::string body;
  if (BarePost(url, "Z=", body, kBuildTimeoutMs) != 200) {
    *error = reply.name + ": the scripted listener did not answer";
    return false;
  }
  const std::size_t wire = body.size();
  std::string text = DecodeBody(body);
  body = std::string();
  while (!text.empty() && text.back() == '\0') text.pop_back();
  const std::size_t entries = CountEntries(text);
  state.counters[reply.name + "_wire_bytes"] = static_cast<double>(wire);
  state.counters[reply.name + "_decoded_bytes"] = static_cast<double>(text.size());
  state.counters[reply.name + "_entries"] = static_cast<double>(entries);
  if (wire > kMaxWireBytes || text.empty() || text.size() > kMaxDecodedBytes ||
      (entries > kMaxReplyEntries) != reply.overBound) {
    *error = reply.name + ": not the reply it claims to be (" + std::to_string(wire) + " bytes, " +
             std::to_string(text.size()) + " decoded, " + std::to_string(entries) + " entries)";
    return false;
  }
  return true;
}

void WorstReplyPeaks(benchmark::State& state) {
  std::string error;
  if (!SignInWithKeys(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::vector<WorstReply>& replies = WorstReplies();
  // Per reply, the worst over the rounds.
  std::vector<std::int64_t> heap(replies.size(), 0);
  std::vector<std::int64_t> resident(replies.size(), 0);
  std::vector<std::int64_t> retained(replies.size(), 0);
  std::string failure;
  bool checked = false;
  for (auto _ : state) {
    for (std::size_t i = 0; i < replies.size() && failure.empty(); ++i) {
      const WorstReply& reply = replies[i];
      // The twins are for the walk's time only.
      if (!reply.halfOf.empty()) continue;
      const std::string server = WorstReplyServer(i);
      if (!checked &&
          !CheckReply(reply, "http://" + server + "/vpn_intl/getserverinfo.php", state, &failure)) {
        break;
      }
      UseAccountServers(server);
      // Freed memory handed back first, so that the call's growth shows in
      // the resident high-water mark instead of reusing pages kept from
      // earlier work.
      malloc_trim(0);
      if (!ResetResidentPeak()) {
        failure = "cannot reset the resident high-water mark";
        break;
      }
      const std::int64_t residentBefore = StatusBytes("VmRSS:");
      const std::int64_t before = LiveHeapBytes();
      ResetHeapPeak();
      const Outcome outcome = Call(reply.operation);
      heap[i] = std::max(heap[i], HeapPeakBytes() - before);
      resident[i] = std::max(resident[i], StatusBytes("VmHWM:") - residentBefore);
      retained[i] = std::max(retained[i], LiveHeapBytes() - before);
      state.counters[reply.name + "_result"] = outcome.result;
      state.counters[reply.name + "_records"] = static_cast<double>(outcome.records);
      state.counters[reply.name + "_walked_fields"] = static_cast<double>(outcome.fields);
      failure = Misbehaviour(reply, outcome);
    }
    checked = true;
    if (!failure.empty()) break;
  }
  UseAccountServers(MainServer());
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (!replies[i].halfOf.empty()) continue;
    state.counters[replies[i].name + "_peak_bytes"] = static_cast<double>(heap[i]);
    state.counters[replies[i].name + "_resident_bytes"] = static_cast<double>(resident[i]);
    state.counters[replies[i].name + "_retained_bytes"] = static_cast<double>(retained[i]);
  }
  state.counters["worst_peak_bytes"] = static_cast<double>(*std::max_element(heap.begin(), heap.end()));
  state.counters["worst_resident_bytes"] =
      static_cast<double>(*std::max_element(resident.begin(), resident.end()));
  state.counters["worst_retained_bytes"] =
      static_cast<double>(*std::max_element(retained.begin(), retained.end()));
}

// Index of the reply named `name`; replies.size() when there is none.
std::size_t IndexOf(const std::vector<WorstReply>& replies, const std::string& name) {
  for (std::size_t i = 0; i < replies.size(); ++i) {
    if (replies[i].name == name) return i;
  }
  return replies.size();
}

// The call and the walk of each reply that has a twin, and of the twin, in
// alternating order round by round; the fastest round of each is kept.
void WorstReplyWalkTimes(benchmark::State& state) {
  std::string error;
  if (!SignInWithKeys(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::vector<WorstReply>& replies = WorstReplies();
  std::vector<double> best(replies.size(), std::numeric_limits<double>::infinity());
  std::string failure;
  for (auto _ : state) {
    for (std::size_t half = 0; half < replies.size() && failure.empty(); ++half) {
      if (replies[half].halfOf.empty()) continue;
      const std::size_t full = IndexOf(replies, replies[half].halfOf);
      if (full == replies.size()) {
        failure = replies[half].name + ": no reply " + replies[half].halfOf;
        break;
      }
      for (const std::size_t i : {full, half}) {
        const std::string url = "http://" + WorstReplyServer(i) + "/vpn_intl/getserverinfo.php";
        if (!CheckReply(replies[i], url, state, &failure)) break;
      }
      for (int round = 0; round < kWalkRounds && failure.empty(); ++round) {
        const std::size_t order[2] = {round % 2 == 0 ? half : full, round % 2 == 0 ? full : half};
        for (const std::size_t i : order) {
          UseAccountServers(WorstReplyServer(i));
          // Pages kept from the last call would make the next one cheaper.
          malloc_trim(0);
          const Outcome outcome = Call(replies[i].operation);
          failure = Misbehaviour(replies[i], outcome);
          if (!failure.empty()) break;
          best[i] = std::min(best[i], outcome.cpuSeconds);
        }
      }
    }
    if (!failure.empty()) break;
  }
  UseAccountServers(MainServer());
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  double worst = 0;
  for (std::size_t half = 0; half < replies.size(); ++half) {
    if (replies[half].halfOf.empty()) continue;
    const std::size_t full = IndexOf(replies, replies[half].halfOf);
    state.counters[replies[full].name + "_walk_seconds"] = best[full];
    state.counters[replies[full].name + "_half_walk_seconds"] = best[half];
    if (best[half] > 0) worst = std::max(worst, best[full] / best[half]);
  }
  state.counters["worst_walk_ratio"] = worst;
}

Row MebibyteRow(const std::string& label, const std::string& counter, double goal) {
  Row row;
  row.label = label;
  row.kind = RowKind::kMebibytesBelow;
  row.subject = kName;
  row.counter = counter;
  row.goal = goal;
  return row;
}

}  // namespace

void RegisterWorstReplyBenchmarks() {
  // One repetition: the rounds already keep the worst call, and building
  // the replies alone takes a while.
  benchmark::RegisterBenchmark(kName, WorstReplyPeaks)
      ->Iterations(kRounds)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);

  AddRow(MebibyteRow("worst reply under default settings: peak extra heap (all allocations)",
                     "worst_peak_bytes", kPeakGoalMiB));
  for (const WorstReply& reply : WorstReplies()) {
    if (reply.halfOf.empty()) AddRow(MebibyteRow(reply.label, reply.name + "_peak_bytes", 0));
  }
  AddRow(MebibyteRow("worst reply under default settings: resident high-water mark growth",
                     "worst_resident_bytes", kPeakGoalMiB));
  for (const WorstReply& reply : WorstReplies()) {
    if (reply.halfOf.empty()) AddRow(MebibyteRow(reply.label, reply.name + "_resident_bytes", 0));
  }
  AddRow(
      MebibyteRow("  largest heap kept after the call, caller's result released", "worst_retained_bytes", 0));

  // One repetition, one iteration: the rounds inside keep each side's best.
  benchmark::RegisterBenchmark(kWalkName, WorstReplyWalkTimes)
      ->Iterations(1)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  Row worst;
  worst.label = "worst application walk: CPU time of call and walk, reply over its half-size twin";
  worst.kind = RowKind::kCounterAtMost;
  worst.subject = kWalkName;
  worst.counter = "worst_walk_ratio";
  worst.goal = kWalkRatioGoal;
  AddRow(worst);
  const std::vector<WorstReply>& replies = WorstReplies();
  for (const WorstReply& reply : replies) {
    if (reply.halfOf.empty()) continue;
    const std::string& full = reply.halfOf;
    const std::size_t index = IndexOf(replies, full);
    Row row;
    row.label = index < replies.size() ? replies[index].label : "  " + full;
    row.kind = RowKind::kCounterRatioAtMost;
    row.subject = kWalkName;
    row.counter = full + "_walk_seconds";
    row.floorCounter = full + "_half_walk_seconds";
    row.goal = kWalkRatioGoal;
    AddRow(row);
  }
}

}  // namespace bench
