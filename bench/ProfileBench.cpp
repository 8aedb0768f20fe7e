// CProfileFile::Load on the service's 10,000-server catalogue next to a bare
// line scan that splits the same text into the same sections, keys and
// values; run alternately, timed in thread CPU time.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench/BenchEnvironment.h"
#include "bench/Interleaved.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"
#include "bench/ReplyCorpus.h"
#include "hostlib/quillon.h"

namespace bench {
namespace {

constexpr double kThroughputGoalMBps = 200;
constexpr double kLoadGoal = 2.0;
constexpr int kRounds = 200;

struct ScannedSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> items;
};

// The floor: one pass, one line at a time, headers and "key=value" items
// copied out, blank lines and comments skipped.
std::vector<ScannedSection> ScanLines(const std::string& text) {
  std::vector<ScannedSection> sections;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* lineEnd = newline != nullptr ? newline : end;
    const char* next = newline != nullptr ? newline + 1 : end;
    if (lineEnd > p && lineEnd[-1] == '\r') --lineEnd;
    if (lineEnd == p || *p == ';' || *p == '#') {
      p = next;
      continue;
    }
    if (*p == '[') {
      const char* close = lineEnd;
      while (close > p && close[-1] != ']') --close;
      if (close == p) return {};
      sections.push_back(ScannedSection{std::string(p + 1, close - 1), {}});
    } else {
      const char* equals = static_cast<const char*>(std::memchr(p, '=', lineEnd - p));
      if (equals == nullptr) return {};
      if (sections.empty()) sections.push_back(ScannedSection{});
      sections.back().items.emplace_back(std::string(p, equals), std::string(equals + 1, lineEnd));
    }
    p = next;
  }
  return sections;
}

bool SameSections(const CProfileFile& profile, const std::vector<ScannedSection>& scanned) {
  const CProfileFile::SectionList& sections = profile.GetSections();
  if (sections.size() != scanned.size()) return false;
  for (std::size_t s = 0; s < sections.size(); ++s) {
    const ProfileSection::ItemList& items = sections[s].GetItems();
    if (sections[s].GetSetionName() != scanned[s].name || items.size() != scanned[s].items.size()) {
      return false;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].key != scanned[s].items[i].first || items[i].value != scanned[s].items[i].second) {
        return false;
      }
    }
  }
  return true;
}

void LoadSideBySide(benchmark::State& state) {
  const std::string& text = CatalogueProfileText(kCatalogueServers);
  {
    CProfileFile profile;
    if (!profile.Load(text) || !SameSections(profile, ScanLines(text))) {
      state.SkipWithError("Load and the line scan disagree on the catalogue");
      return;
    }
  }
  // Both build the whole result and release it again within the timing.
  RunInterleaved(state, {
                            {"library",
                             [&](double* seconds, std::string* error) {
                               const double start = ThreadCpuSeconds();
                               bool loaded = false;
                               {
                                 CProfileFile profile;
                                 loaded = profile.Load(text);
                               }
                               *seconds = ThreadCpuSeconds() - start;
                               *error = "Load failed";
                               return loaded;
                             }},
                            {"floor",
                             [&](double* seconds, std::string* error) {
                               const double start = ThreadCpuSeconds();
                               bool scanned = false;
                               {
                                 std::vector<ScannedSection> sections = ScanLines(text);
                                 scanned = !sections.empty();
                               }
                               *seconds = ThreadCpuSeconds() - start;
                               *error = "the scan found nothing";
                               return scanned;
                             }},
                        });
  state.counters["bytes"] = static_cast<double>(text.size());
}

}  // namespace

void RegisterProfileBenchmarks() {
  const char kName[] = "profile/load_catalogue";
  benchmark::RegisterBenchmark(kName, LoadSideBySide)
      ->UseManualTime()
      ->Iterations(kRounds)
      ->Unit(benchmark::kMicrosecond);

  Row throughput;
  throughput.label = "CProfileFile::Load, 10,000-server catalogue";
  throughput.kind = RowKind::kThroughputAtLeast;
  throughput.subject = kName;
  throughput.counter = "library_p10";
  throughput.goal = kThroughputGoalMBps;
  AddRow(throughput);

  Row ratio;
  ratio.label = "CProfileFile::Load vs bare line scan";
  ratio.kind = RowKind::kCounterRatioAtMost;
  ratio.subject = kName;
  ratio.counter = "library_p10";
  ratio.floorCounter = "floor_p10";
  ratio.goal = kLoadGoal;
  AddRow(ratio);
}

}  // namespace bench
