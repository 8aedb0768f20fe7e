// GetVpnServers of the 10,000-server catalogue over loopback, keyed and
// bzip2-compressed: wall time, and the peak extra heap of the call (the
// caller's filled map included) as a multiple of the reply's decoded size;
// the same peak for the 1,000,000-server catalogue of the second service.
// Peak heap comes from HeapMeter: every malloc-family call of this process
// is counted, and the services run in their own processes.
#include <benchmark/benchmark.h>
#include <bzlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>

#include "bench/BarePost.h"
#include "bench/BenchEnvironment.h"
#include "bench/HeapMeter.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "bench/ReplyCorpus.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "protection/BodyCodec.h"
#include "transport/HttpCmd.h"
#include "wire/Bzip2.h"

namespace bench {
namespace {

constexpr double kPeakGoal = 4.0;
constexpr int kRounds = 12;
constexpr char kName[] = "catalogue/get_vpn_servers_vs_bare_post";
// Each round of the large catalogue takes seconds (most of them the
// service's compression), so it runs in one repetition of few rounds.
constexpr int kLargeRounds = 2;
constexpr char kLargeName[] = "catalogue/get_vpn_servers_1m";
// The service takes a few seconds to build and compress the large reply.
constexpr long kLargeReplyTimeoutMs = 120000;

// The catalogue request as GetVpnServers renders it, for the bare POST.
std::string CatalogueForm() {
  ProxyHelper& helper = ProxyHelper::Instance();
  CHttpCmd command(OperationContext::Begin(), "", 80);
  command.AddParam("agent", GlobalCache::Instance().GetClientCfg()->GetAgent());
  command.AddParam("lang", CMultiLanguage::Instance().GetCurrConfigLanguageTag());
  command.AddParam("username", helper.GetUserNameA());
  command.AddParam("magic", helper.GetMagic());
  return command.BuildForm();
}

std::string CatalogueUrl(const std::string& server) {
  return "http://" + server + "/vpn_intl/getserverinfo.php";
}

// Size of the reply's plain profile text, from one bare request; the block
// fill of the cipher is not content.
std::size_t DecodedCatalogueSize(const std::string& server, std::size_t* wireBytes, long timeoutMs = 10000) {
  std::string reply;
  if (BarePost(CatalogueUrl(server), EncodeBody(CatalogueForm(), 2), reply, timeoutMs) != 200) return 0;
  *wireBytes = reply.size();
  std::string text = DecodeBody(reply);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text.compare(0, 9, "result=0\n") == 0 ? text.size() : 0;
}

// What libbz2 itself allocates to expand a stream compressed as the service
// compresses (900k blocks): measured by starting the expansion of the
// catalogue and stopping at the first byte out. `apartWorks` tells whether
// the heap meter recognised those allocations as libbz2's.
std::int64_t Bzip2StateBytes(bool* apartWorks) {
  std::string packed;
  if (!wire::Bzip2Compress(CatalogueProfileText(kCatalogueServers), &packed)) return 0;
  bz_stream stream{};
  const std::int64_t before = LiveHeapBytes();
  const std::int64_t ownBefore = LiveOwnHeapBytes();
  ResetHeapPeak();
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return 0;
  char first = 0;
  stream.next_in = &packed[0];
  stream.avail_in = static_cast<unsigned int>(packed.size());
  stream.next_out = &first;
  stream.avail_out = 1;
  BZ2_bzDecompress(&stream);
  const std::int64_t state = HeapPeakBytes() - before;
  *apartWorks = OwnHeapPeakBytes() - ownBefore < state / 100;
  BZ2_bzDecompressEnd(&stream);
  return state;
}

std::size_t ServerCount(const ServerCatalogue& servers) {
  std::size_t count = 0;
  for (const auto& group : servers) count += group.second.size();
  return count;
}

using SteadyClock = std::chrono::steady_clock;

double Since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

void CatalogueSideBySide(benchmark::State& state) {
  std::string error;
  if (!SignInWithKeys(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::size_t wireBytes = 0;
  const std::size_t decoded = DecodedCatalogueSize(MainServer(), &wireBytes);
  if (decoded == 0) {
    state.SkipWithError("the catalogue request by hand failed");
    return;
  }
  ProxyHelper& helper = ProxyHelper::Instance();
  const std::string url = CatalogueUrl(MainServer());
  const std::string form = CatalogueForm();
  std::string reply;
  std::int64_t worstPeak = 0;
  std::int64_t worstOwnPeak = 0;
  std::int64_t worstRetained = 0;
  RunInterleaved(state, {
                            {"library",
                             [&](double* seconds, std::string* failure) {
                               // The caller's map counts: it is what the call leaves behind.
                               ServerCatalogue servers;
                               const std::int64_t before = LiveHeapBytes();
                               const std::int64_t ownBefore = LiveOwnHeapBytes();
                               ResetHeapPeak();
                               const auto start = SteadyClock::now();
                               const int result = helper.GetVpnServers(servers);
                               *seconds = Since(start);
                               worstPeak = std::max(worstPeak, HeapPeakBytes() - before);
                               worstOwnPeak = std::max(worstOwnPeak, OwnHeapPeakBytes() - ownBefore);
                               worstRetained = std::max(worstRetained, LiveHeapBytes() - before);
                               *failure = "GetVpnServers returned " + std::to_string(result);
                               return result == 0 &&
                                      ServerCount(servers) == static_cast<std::size_t>(kCatalogueServers);
                             }},
                            {"bare_post",
                             [&](double* seconds, std::string* failure) {
                               const auto start = SteadyClock::now();
                               const long status = BarePost(url, EncodeBody(form, 2), reply);
                               *seconds = Since(start);
                               *failure = "status " + std::to_string(status);
                               return status == 200;
                             }},
                        });
  const double size = static_cast<double>(decoded);
  bool apartWorks = false;
  const std::int64_t bzip2 = Bzip2StateBytes(&apartWorks);
  if (!apartWorks) {
    state.SkipWithError("the heap meter cannot tell libbz2's allocations apart");
    return;
  }
  state.counters["decoded_bytes"] = size;
  state.counters["wire_bytes"] = static_cast<double>(wireBytes);
  state.counters["peak_extra_bytes"] = static_cast<double>(worstPeak);
  state.counters["peak_ratio"] = static_cast<double>(worstPeak) / size;
  state.counters["bzip2_state_ratio"] = static_cast<double>(bzip2) / size;
  state.counters["own_peak_ratio"] = static_cast<double>(worstOwnPeak) / size;
  state.counters["result_ratio"] = static_cast<double>(worstRetained) / size;
}

// Peak heap only: at this size a bare POST beside each call would double a
// run that is already long.
void LargeCatalogue(benchmark::State& state) {
  std::string error;
  if (!SignInWithKeysAt(LargeCatalogueServer(), &error)) {
    state.SkipWithError(("large catalogue: " + error).c_str());
    UseAccountServers(MainServer());
    return;
  }
  std::size_t wireBytes = 0;
  const std::size_t decoded = DecodedCatalogueSize(LargeCatalogueServer(), &wireBytes, kLargeReplyTimeoutMs);
  if (decoded == 0) {
    state.SkipWithError("the large catalogue request by hand failed");
    UseAccountServers(MainServer());
    return;
  }
  ProxyHelper& helper = ProxyHelper::Instance();
  std::int64_t worstPeak = 0;
  std::int64_t worstOwnPeak = 0;
  std::int64_t worstRetained = 0;
  std::string failure;
  for (auto _ : state) {
    ServerCatalogue servers;
    const std::int64_t before = LiveHeapBytes();
    const std::int64_t ownBefore = LiveOwnHeapBytes();
    ResetHeapPeak();
    const auto start = SteadyClock::now();
    const int result = helper.GetVpnServers(servers);
    state.SetIterationTime(Since(start));
    worstPeak = std::max(worstPeak, HeapPeakBytes() - before);
    worstOwnPeak = std::max(worstOwnPeak, OwnHeapPeakBytes() - ownBefore);
    worstRetained = std::max(worstRetained, LiveHeapBytes() - before);
    if (result != 0 || ServerCount(servers) != static_cast<std::size_t>(kLargeCatalogueServers)) {
      failure = "GetVpnServers returned " + std::to_string(result) + " with " +
                std::to_string(ServerCount(servers)) + " servers";
      break;
    }
  }
  UseAccountServers(MainServer());
  if (!failure.empty()) {
    state.SkipWithError(failure.c_str());
    return;
  }
  bool apartWorks = false;
  const std::int64_t bzip2 = Bzip2StateBytes(&apartWorks);
  if (!apartWorks) {
    state.SkipWithError("the heap meter cannot tell libbz2's allocations apart");
    return;
  }
  const double size = static_cast<double>(decoded);
  state.counters["bzip2_state_ratio"] = static_cast<double>(bzip2) / size;
  state.counters["decoded_bytes"] = size;
  state.counters["wire_bytes"] = static_cast<double>(wireBytes);
  state.counters["peak_extra_bytes"] = static_cast<double>(worstPeak);
  state.counters["peak_ratio"] = static_cast<double>(worstPeak) / size;
  state.counters["own_peak_ratio"] = static_cast<double>(worstOwnPeak) / size;
  state.counters["result_ratio"] = static_cast<double>(worstRetained) / size;
}

Row CounterRow(const std::string& label, const std::string& counter, double goal,
               const char* subject = kName) {
  Row row;
  row.label = label;
  row.kind = RowKind::kCounterAtMost;
  row.subject = subject;
  row.counter = counter;
  row.goal = goal;
  return row;
}

}  // namespace

void RegisterCatalogueBenchmarks() {
  // libbz2's working memory is its own business; it is shown apart.
  SetApartLibraryOf(reinterpret_cast<const void*>(&BZ2_bzDecompress));
  benchmark::RegisterBenchmark(kName, CatalogueSideBySide)
      ->UseManualTime()
      ->Iterations(kRounds)
      ->Unit(benchmark::kMillisecond);

  Row time;
  time.label = "GetVpnServers 10,000 servers keyed+bzip2: wall, vs bare POST";
  time.kind = RowKind::kCounterRatioAtMost;
  time.subject = kName;
  time.counter = "library_p10";
  time.floorCounter = "bare_post_p10";
  AddRow(time);

  AddRow(CounterRow("GetVpnServers peak extra heap / decoded size", "peak_ratio", kPeakGoal));
  AddRow(CounterRow("  of which libbz2's own decompressor state", "bzip2_state_ratio", 0));
  AddRow(CounterRow(
      "GetVpnServers 10,000 servers: peak extra heap excluding libbz2's block state / decoded size",
      "own_peak_ratio", kPeakGoal));
  AddRow(CounterRow("  caller's filled map, kept after the call", "result_ratio", 0));

  benchmark::RegisterBenchmark(kLargeName, LargeCatalogue)
      ->UseManualTime()
      ->Iterations(kLargeRounds)
      ->Repetitions(1)
      ->Unit(benchmark::kMillisecond);
  AddRow(CounterRow(
      "GetVpnServers 1,000,000 servers: peak extra heap excluding libbz2's block state / decoded size",
      "own_peak_ratio", kPeakGoal, kLargeName));
  AddRow(CounterRow("  all allocations, libbz2's included", "peak_ratio", 0, kLargeName));
  AddRow(CounterRow("  caller's filled map, kept after the call", "result_ratio", 0, kLargeName));
}

}  // namespace bench
