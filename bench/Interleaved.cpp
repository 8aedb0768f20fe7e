#include "bench/Interleaved.h"

#include <time.h>

#include <algorithm>

namespace bench {

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  const double clamped = std::min(1.0, std::max(0.0, fraction));
  const auto index = static_cast<std::size_t>(clamped * static_cast<double>(samples.size() - 1));
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(index), samples.end());
  return samples[index];
}

void RunInterleaved(benchmark::State& state, const std::vector<NamedOperation>& operations) {
  const std::size_t count = operations.size();
  std::vector<std::vector<double>> samples(count);
  std::size_t round = 0;
  for (auto _ : state) {
    double total = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t which = (round + k) % count;
      double seconds = 0;
      std::string error;
      if (!operations[which].run(&seconds, &error)) {
        state.SkipWithError((operations[which].name + ": " + error).c_str());
        return;
      }
      samples[which].push_back(seconds);
      total += seconds;
    }
    state.SetIterationTime(total);
    ++round;
  }
  for (std::size_t i = 0; i < count; ++i) {
    state.counters[operations[i].name + "_p10"] = Percentile(samples[i], 0.10);
    state.counters[operations[i].name + "_median"] = Percentile(samples[i], 0.50);
  }
}

}  // namespace bench
