#!/usr/bin/env bash
# The reliability stages of CI, one after the other:
#   fuzz  every fuzz target for 30 s after replaying its corpus (scripts/fuzz.sh)
#   asan  the whole test suite under ASan + UBSan (scripts/sanitize.sh asan)
#   tsan  the concurrency tests under ThreadSanitizer (scripts/sanitize.sh tsan)
#   soak  10,000 operations with failover churn, then valgrind (scripts/soak.sh);
#         not run by default, add it with CI_RELIABILITY_STAGES
# Prints one summary line per stage with its time, and the tail of the log of
# a stage that failed. Exits non-zero when any stage failed; later stages run
# regardless.
#
# Environment: CI_RELIABILITY_STAGES (default "fuzz asan tsan"),
# CI_RELIABILITY_LOGS (default build/ci-reliability), FUZZ_SECONDS (default
# 30); the build-directory variables of the scripts above pass through.
set -uo pipefail
cd "$(dirname "$0")/.."

stages=(${CI_RELIABILITY_STAGES:-fuzz asan tsan})
logs="${CI_RELIABILITY_LOGS:-build/ci-reliability}"
mkdir -p "$logs"

run_stage() {
  case "$1" in
    fuzz) bash scripts/fuzz.sh "${FUZZ_SECONDS:-30}" ;;
    asan) bash scripts/sanitize.sh asan ;;
    tsan) bash scripts/sanitize.sh tsan ;;
    soak) bash scripts/soak.sh ;;
    *) echo "unknown stage: $1" >&2; return 2 ;;
  esac
}

status=0
summary=()
for stage in "${stages[@]}"; do
  log="$logs/$stage.log"
  started=$(date +%s)
  run_stage "$stage" >"$log" 2>&1
  result=$?
  elapsed=$(( $(date +%s) - started ))
  time_text="$((elapsed / 60))m$(printf '%02d' $((elapsed % 60)))s"
  if [ "$result" -eq 0 ]; then
    line="reliability: $stage: passed in $time_text"
  else
    line="reliability: $stage: FAILED (exit $result) in $time_text, log $log"
    status=1
    echo "---- $stage: last lines of $log" >&2
    tail -n 60 "$log" >&2
  fi
  echo "$line"
  summary+=("$line")
done

echo "---- reliability summary"
printf '%s\n' "${summary[@]}"
exit "$status"
