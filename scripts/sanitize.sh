#!/usr/bin/env bash
# The test suite under the sanitizers:
#   asan  the whole suite built with AddressSanitizer + UndefinedBehaviorSanitizer
#         (preset "asan") and run with ctest, leak checking on;
#   tsan  the concurrency tests (the Concurrency* suites of tests/system) built
#         with ThreadSanitizer (preset "tsan") and run with ctest.
#
#   scripts/sanitize.sh [asan|tsan]...   default: both, in that order
#
# Environment: ASAN_BUILD_DIR (default build/asan), TSAN_BUILD_DIR (default
# build/tsan), SANITIZE_CMAKE_ARGS (extra configure arguments, e.g.
# "-DPROXYHELPER_BUILD_CLI=OFF"), SANITIZE_JOBS (ctest parallelism, default 2).
set -euo pipefail
cd "$(dirname "$0")/.."

stages=("$@")
[ "${#stages[@]}" -gt 0 ] || stages=(asan tsan)
extra=(${SANITIZE_CMAKE_ARGS:-})
jobs="${SANITIZE_JOBS:-2}"
scratch="$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-sanitize-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

# GetUserInfo hands every ServerConfig record to the application, which frees
# it (docs/security.md); a test that calls it plays the application's part.
# The user-info operation tests check that each call stores a new record and
# keep the replaced one on purpose, so leaks reached from that file are
# exempt, and so is libedit's own leak (below). Nothing else is.
cat >"$scratch/lsan.supp" <<'SUPP'
leak:tests/service/UserInfoOperationTest.cpp
# libedit keeps its wcsdup copies of the names of the functions bound to
# keys after el_end (its frames carry no frame pointers, so only wcsdup
# shows); nothing of ours calls wcsdup.
leak:wcsdup
SUPP

run_asan() {
  local dir="${ASAN_BUILD_DIR:-build/asan}"
  cmake --preset asan -B "$dir" "${extra[@]}" >/dev/null
  cmake --build "$dir" -j2
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1" \
  LSAN_OPTIONS="suppressions=$scratch/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600
}

run_tsan() {
  local dir="${TSAN_BUILD_DIR:-build/tsan}"
  cmake --preset tsan -B "$dir" "${extra[@]}" >/dev/null
  cmake --build "$dir" -j2 --target test_system
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    ctest --test-dir "$dir" -R '^Concurrency' -j "$jobs" --output-on-failure --timeout 600
}

# Every stage runs, each stopping at its own first failure; the exit status
# tells whether all of them passed.
for stage in "${stages[@]}"; do
  case "$stage" in
    asan|tsan) ;;
    *) echo "usage: $0 [asan|tsan]..." >&2; exit 2 ;;
  esac
done
status=0
for stage in "${stages[@]}"; do
  set +e
  (set -e; "run_$stage")
  result=$?
  set -e
  if [ "$result" -ne 0 ]; then
    echo "sanitize: $stage FAILED" >&2
    status=1
  fi
done
exit "$status"
