// Side-by-side timing for exchanges over loopback. Wall time there depends on
// whatever else the machine is doing at that moment, so the operations to
// compare run alternately within one benchmark, each timed on its own, and
// are compared by low percentiles of their own samples: a burst of load
// then hits both sides instead of skewing one of them.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

// Runs once and stores the time of the part it measures in `seconds`;
// false with `error` set when the operation failed.
using TimedOperation = std::function<bool(double* seconds, std::string* error)>;

struct NamedOperation {
  std::string name;
  TimedOperation run;
};

// Each iteration runs every operation once, starting at a different one each
// round. Reports, per operation, the counters "<name>_p10" and
// "<name>_median" in seconds; the iteration time is the round's total.
void RunInterleaved(benchmark::State& state, const std::vector<NamedOperation>& operations);

// CPU time used by the calling thread so far, in seconds (system time
// included, so page faults count): unlike wall time it does not grow while
// another process has the processor.
double ThreadCpuSeconds();

// The sample at `fraction` (0 to 1) of the sorted samples, rounding down;
// 0 for no samples.
double Percentile(std::vector<double> samples, double fraction);

}  // namespace bench
