// The catalogue fill on a group split over 100,000 one-item sections next to
// 100,000 one-item sections of distinct groups: the same number of records,
// so a fill that works per section of a group (growing the group's list
// each time, say) shows as the first taking longer. Each side parses its
// text and fills an empty map, as GetVpnServers does after the transfer;
// run alternately, timed in thread CPU time.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "service/ReplyReaders.h"

namespace bench {
namespace {

constexpr double kSplitGroupGoal = 1.5;
constexpr int kSections = 100000;
constexpr int kRounds = 30;
constexpr std::size_t kMaxEntries = 2000000;  // the client's default
constexpr char kName[] = "fill/split_group_vs_distinct_groups";

// The envelope, then `kSections` sections of one catalogue-like item each,
// all named "g" or named "g0", "g1", ...
std::string OneItemSections(bool distinct) {
  std::string text = "result=0\nerrdesc=\n";
  for (int i = 0; i < kSections; ++i) {
    const std::string id = std::to_string(1001 + i);
    text += distinct ? "[g" + std::to_string(i) + "]\n" : "[g]\n";
    text += id + "=Server " + id + ",vpn" + id + ".example.net,1,Somewhere\n";
  }
  return text;
}

std::size_t ServerCount(const ServerCatalogue& servers) {
  std::size_t count = 0;
  for (const auto& group : servers) count += group.second.size();
  return count;
}

// Parse and fill timed; the map is released outside the timing, since
// releasing 100,000 groups is not the fill's work.
TimedOperation ParseAndFill(const std::string& text, std::size_t groups) {
  return [&text, groups](double* seconds, std::string* error) {
    ServerCatalogue servers;
    const double start = ThreadCpuSeconds();
    CProfileFile profile;
    const bool loaded = profile.Load(text, kMaxEntries);
    if (loaded) FillCatalogue(profile.TakeSections(), servers);
    *seconds = ThreadCpuSeconds() - start;
    *error = loaded ? "the fill gave " + std::to_string(servers.size()) + " groups" : "Load failed";
    return loaded && servers.size() == groups && ServerCount(servers) == static_cast<std::size_t>(kSections);
  };
}

void FillSideBySide(benchmark::State& state) {
  const std::string splitGroup = OneItemSections(false);
  const std::string distinctGroups = OneItemSections(true);
  RunInterleaved(state, {
                            {"split_group", ParseAndFill(splitGroup, 1)},
                            {"distinct_groups", ParseAndFill(distinctGroups, kSections)},
                        });
}

}  // namespace

void RegisterFillBenchmarks() {
  benchmark::RegisterBenchmark(kName, FillSideBySide)
      ->UseManualTime()
      ->Iterations(kRounds)
      ->Unit(benchmark::kMillisecond);

  Row ratio;
  ratio.label = "catalogue fill, 100,000 one-item sections of one group vs 100,000 distinct groups";
  ratio.kind = RowKind::kCounterRatioAtMost;
  ratio.subject = kName;
  ratio.counter = "split_group_p10";
  ratio.floorCounter = "distinct_groups_p10";
  ratio.goal = kSplitGroupGoal;
  AddRow(ratio);
}

}  // namespace bench
