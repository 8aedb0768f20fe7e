#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time.
#
#   scripts/fuzz.sh [SECONDS]     seconds of fuzzing per target, default 30
#
# For every target the seed corpus in fuzz/corpus/<target>/ is replayed first
# (earlier crashes kept there are regression tests), then the fuzzer runs
# from it; new inputs go to a scratch directory, not into the repository.
# A crash, a failed property, a leak or a time-out fails the script; the
# input that caused it is copied into fuzz/corpus/<target>/ as
# crash-<hash>, to be kept as a regression test once the fault is fixed.
# Each target that passes gets one line: the inputs run and the rate.
#
# Environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_TARGETS (a subset,
# space-separated).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: $0 [SECONDS]" >&2
  exit 2
fi
build_dir="${FUZZ_BUILD_DIR:-build/fuzz}"
targets=(${FUZZ_TARGETS:-fuzz_reply_decode fuzz_profile_parse fuzz_command_parse
                          fuzz_login_servers fuzz_bz2_decompress fuzz_request_decode
                          fuzz_reply_readers fuzz_cache_replay fuzz_record_fields})

command -v clang++ >/dev/null || { echo "fuzz: clang++ is required" >&2; exit 2; }
scratch="$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-fuzz-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

# Only the targets asked for are built; a failed build shows why.
if ! cmake -S fuzz -B "$build_dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >"$scratch/build.log" 2>&1 ||
    ! cmake --build "$build_dir" -j2 --target "${targets[@]}" >>"$scratch/build.log" 2>&1; then
  echo "fuzz: build FAILED" >&2
  grep -E -m 20 'error:|FAILED:' "$scratch/build.log" >&2 || tail -n 40 "$scratch/build.log" >&2
  exit 1
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

# Keeps the input behind a failure in the seed corpus, named by content.
keep_artifacts() {
  local target="$1" artifact name
  for artifact in "$scratch/artifacts/$target"-*; do
    [ -f "$artifact" ] || continue
    name="crash-$(sha1sum "$artifact" | cut -c1-16)"
    cp "$artifact" "fuzz/corpus/$target/$name"
    echo "fuzz: $target: input kept as fuzz/corpus/$target/$name" >&2
  done
}

failed=0
mkdir -p "$scratch/artifacts"
for target in "${targets[@]}"; do
  binary="$build_dir/$target"
  seeds="fuzz/corpus/$target"
  log="$scratch/$target.log"
  mkdir -p "$scratch/$target"

  if ! "$binary" -runs=0 "$seeds" >"$log" 2>&1; then
    echo "fuzz: $target: corpus replay FAILED" >&2
    tail -n 40 "$log" >&2
    failed=1
    continue
  fi
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
      -artifact_prefix="$scratch/artifacts/$target-" -print_final_stats=1 \
      "$scratch/$target" "$seeds" >"$log" 2>&1; then
    echo "fuzz: $target: FAILED" >&2
    grep -E 'ERROR|property failed|SUMMARY|Test unit written' "$log" >&2 || tail -n 40 "$log" >&2
    keep_artifacts "$target"
    failed=1
    continue
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
  # libFuzzer's own rate: the runs over the time it really took.
  rate="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")"
  echo "fuzz: $target: ok, ${runs:-?} inputs in ${seconds}s (${rate:-?}/s)"
done
exit "$failed"
