#!/usr/bin/env bash
# Builds the benchmarks in release mode, checks the benchmark's own parts,
# runs the benchmarks once (every comparison side by side in the same run)
# and prints the table of ratios: goal, measured value, pass or miss. Takes
# a few minutes on two cores.
#
#   scripts/bench.sh                  the table only
#   scripts/bench.sh --verbose        every benchmark's own line as well
#   scripts/bench.sh --benchmark_filter=codec   a subset (rows of benchmarks
#                                     left out show as not run)
#
# The connection-reuse rows ("Start burst ...", "Heartbeat ...") run the
# reference service behind a latency shim on 127.0.0.1 at 50 ms round-trip
# time, "GC_HTTP_REUSE" 1 beside 0: one repetition of a few rounds each
# whatever --benchmark_repetitions says, about 15 s in all
# (--benchmark_filter=reuse runs them alone).
#
# The raw results go to <build dir>/bench-results.json. The build directory
# is build/bench unless PROXYHELPER_BENCH_BUILD_DIR names another.
# Benchmarks are never part of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir="${PROXYHELPER_BENCH_BUILD_DIR:-build/bench}"
summary=--summary_only
args=()
for arg in "$@"; do
  if [[ "$arg" == "--verbose" ]]; then summary=""; else args+=("$arg"); fi
done

configure=(-DCMAKE_BUILD_TYPE=Release -DPROXYHELPER_BUILD_BENCH=ON -DPROXYHELPER_BUILD_TESTS=OFF
           -DPROXYHELPER_BUILD_TOOLS=ON)
if [[ ! -f "$build_dir/CMakeCache.txt" ]] && command -v ninja >/dev/null; then
  configure+=(-G Ninja)
fi
# Quiet unless something fails.
quietly() {
  local output
  if ! output=$("$@" 2>&1); then
    echo "$output" >&2
    exit 1
  fi
}
quietly cmake -S . -B "$build_dir" "${configure[@]}"
# proxyhelper_bench also brings the CLI and the library-alone catalogue
# client: the `servers` rows run both as child processes.
quietly cmake --build "$build_dir" --target proxyhelper_bench proxyhelper_bench_selftest -j 2
# The floors must do the library's work and the table must read its samples
# right, or no figure below means anything.
quietly "$build_dir/bench/proxyhelper_bench_selftest"

# The store benchmarks want PostgreSQL too: the one PROXYHELPER_BENCH_POSTGRES
# names (a conninfo of an empty database they may fill), else a private
# cluster on 127.0.0.1 for this run; without either their rows say skipped.
if [[ -z "${PROXYHELPER_BENCH_POSTGRES:-}" ]]; then
  pg_cluster=$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-bench-pg-XXXXXX")
  rmdir "$pg_cluster"
  trap 'bash scripts/postgres-test-cluster.sh stop "$pg_cluster" >/dev/null 2>&1 || true' EXIT
  trap 'exit 130' INT TERM
  if conninfo=$(bash scripts/postgres-test-cluster.sh start "$pg_cluster" 2>/dev/null); then
    export PROXYHELPER_BENCH_POSTGRES="$conninfo"
  else
    echo "no PostgreSQL cluster could be started; its rows will say skipped" >&2
  fi
fi

echo "running benchmarks (a few minutes)..." >&2
# Five repetitions in random interleaved order: a burst of other load on the
# machine then hits every side of a comparison alike, and the table uses the
# fastest repetition.
"$build_dir/bench/proxyhelper_bench" $summary \
  --benchmark_repetitions=5 \
  --benchmark_enable_random_interleaving=true \
  --benchmark_min_time=0.1 \
  --benchmark_out="$build_dir/bench-results.json" \
  --benchmark_out_format=json \
  "${args[@]+"${args[@]}"}"
