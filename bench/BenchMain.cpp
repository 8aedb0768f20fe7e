// Runs the benchmark groups in one process and prints the ratio table.
//
// The reference service is forked before anything else starts a thread; the
// client side then runs entirely in this process. Besides Google
// Benchmark's own flags, "--summary_only" prints the table alone.
#include <benchmark/benchmark.h>
#include <signal.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "bench/BenchEnvironment.h"
#include "bench/RatioTable.h"
#include "bench/Registration.h"

namespace {

// Removes our own flag from the command line; true when it was there.
bool TakeFlag(int* argc, char** argv, const char* flag) {
  bool found = false;
  int kept = 0;
  for (int i = 0; i < *argc; ++i) {
    if (i > 0 && std::strcmp(argv[i], flag) == 0) {
      found = true;
      continue;
    }
    argv[kept++] = argv[i];
  }
  *argc = kept;
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  // A server that hangs up mid-answer must not end the run.
  ::signal(SIGPIPE, SIG_IGN);
  const bool summaryOnly = TakeFlag(&argc, argv, "--summary_only");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  std::string error;
  if (!bench::StartEnvironment(&error)) {
    std::cerr << "cannot start the benchmark environment: " << error << "\n";
    bench::StopEnvironment();
    return 1;
  }
  bench::RegisterCodecBenchmarks();
  bench::RegisterProfileBenchmarks();
  bench::RegisterFillBenchmarks();
  bench::RegisterSignInBenchmarks();
  bench::RegisterCatalogueBenchmarks();
  bench::RegisterCliBenchmarks();
  bench::RegisterFailoverBenchmarks();
  bench::RegisterReuseBenchmarks();
  bench::RegisterWorstReplyBenchmarks();
  bench::RegisterStoreBenchmarks();

  bench::CollectingReporter reporter(summaryOnly);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  bench::StopEnvironment();

  if (!summaryOnly) std::cout << "\n";
  const bench::Verdicts verdicts =
      bench::PrintRatioTable(bench::RegisteredRows(), reporter.samples(), std::cout);
  return verdicts.failed == 0 ? 0 : 1;
}
