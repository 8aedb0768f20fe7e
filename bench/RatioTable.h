// The summary of a run: each row compares one measured benchmark with its
// floor (or with an absolute goal) and says whether the goal was met.
// Benchmarks register their rows next to themselves; the table is printed
// from the samples the collecting reporter kept.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

enum class Clock { kCpu, kReal };

enum class RowKind {
  kRatioAtMost,        // time(subject) - time(allowance), over time(floor)
  kThroughputAtLeast,  // counter "bytes" of subject over time(subject) (or over
                       // its `counter`, a time in seconds), in MB/s
  kCounterAtMost,      // largest value of `counter` over the repetitions
  kTimeOnly,           // time(subject) in milliseconds, no goal
  // Counters of one interleaved benchmark (times in seconds, smallest over
  // the repetitions): (counter - allowanceCounter) / floorCounter.
  kCounterRatioAtMost,
  // Largest value of `counter` (bytes) over the repetitions, shown in MiB;
  // met when below `goal` MiB.
  kMebibytesBelow,
  // 1 / smallest `counter` (seconds per event) over the repetitions, in
  // events per second; met when at least `goal`.
  kRateAtLeast,
};

// A benchmark that skips with an error starting with this shows its rows as
// skipped, not as failed measurements.
constexpr char kSkippedPrefix[] = "skipped: ";

struct Row {
  std::string label;
  RowKind kind = RowKind::kRatioAtMost;
  std::string subject;
  std::string floor;             // kRatioAtMost
  std::string allowance;         // kRatioAtMost, optional
  std::string counter;           // kCounterAtMost, kCounterRatioAtMost, kMebibytesBelow
  std::string floorCounter;      // kCounterRatioAtMost
  std::string allowanceCounter;  // kCounterRatioAtMost, optional
  Clock clock = Clock::kCpu;
  double goal = 0;  // 0: shown for information only
};

void AddRow(Row row);
// The rows added so far, in order.
const std::vector<Row>& RegisteredRows();

// One repetition of one benchmark.
struct Sample {
  double cpuSeconds = 0;   // per iteration
  double realSeconds = 0;  // per iteration (manual time where used)
  std::map<std::string, double> counters;
  std::string error;  // non-empty when the benchmark skipped with an error
};

// Benchmark name without the decorations the framework appends
// ("/repeats:N", "/real_time", "/manual_time", ...).
std::string PlainName(const std::string& runName);

// Keeps the single repetitions and, unless quiet, passes every run on to the
// console.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  explicit CollectingReporter(bool quiet) : quiet_(quiet) {}
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& runs) override;
  const std::map<std::string, std::vector<Sample>>& samples() const { return samples_; }

 private:
  bool quiet_;
  std::map<std::string, std::vector<Sample>> samples_;
};

struct Verdicts {
  int passed = 0;
  int missed = 0;
  int failed = 0;  // missing or failed measurements
  int skipped = 0;
};

// Prints the registered rows. Benchmark times are those of the fastest
// repetition, the estimate least disturbed by other load on the machine;
// interleaved benchmarks give their own low percentiles.
Verdicts PrintRatioTable(const std::vector<Row>& rows,
                         const std::map<std::string, std::vector<Sample>>& samples, std::ostream& out);

}  // namespace bench
