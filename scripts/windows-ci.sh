#!/usr/bin/env bash
# The Windows stage: cross-builds both DLLs (quillon.dll, proxyhelper.dll with
# their import libraries, the transport linked to the real WinINet) and the
# Windows test programs with MinGW-w64, then runs the tests under Wine, where
# the HTTP exchanges go through Wine's WinINet to loopback servers that the
# tests start themselves.
#
#   scripts/windows-ci.sh
#
# Environment (all optional):
#   PROXYHELPER_WIN_BUILD_DIR  build directory      (default: build/windows)
#   PROXYHELPER_DEPS_CACHE     dependency cache     (default: /var/cache/proxyhelper-mingw)
#   PROXYHELPER_JOBS           parallel jobs        (default: 2)
#
# Installs the Debian packages it needs (as root) on a fresh machine. Ends
# with one summary line giving the stage's time.
set -uo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${PROXYHELPER_WIN_BUILD_DIR:-$repo/build/windows}
jobs=${PROXYHELPER_JOBS:-2}
started=$SECONDS
times=()
timed() {  # label command...
  local label=$1 t=$SECONDS
  shift
  echo "=== windows: $label"
  "$@"
  local rc=$?
  times+=("$label $((SECONDS - t))s")
  return $rc
}
finish() {  # status, words
  local status=$1
  shift
  echo "windows stage: $* in $((SECONDS - started)) s (${times[*]})"
  exit "$status"
}

# ---- dependencies (packages, Crypto++, bzip2, GoogleTest, cpp-httplib) -------
deps_out=$(mktemp)
if ! timed deps bash "$repo/scripts/build-mingw-deps.sh" >"$deps_out"; then
  rm -f "$deps_out"
  finish 1 "FAIL (dependencies)"
fi
prefix=$(tail -n 1 "$deps_out")
rm -f "$deps_out"

# ---- cross build ---------------------------------------------------------------
configure() {
  cmake -S "$repo" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DPROXYHELPER_MINGW_DEPS="$prefix" \
    -DCMAKE_BUILD_TYPE=Debug \
    -DPROXYHELPER_BUILD_TOOLS=OFF -DPROXYHELPER_BUILD_TESTS=ON \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
}
timed configure configure || finish 1 "FAIL (configure)"
timed build cmake --build "$build" -j"$jobs" || finish 1 "FAIL (build)"

# The GCC runtime DLLs go beside the programs, as they would ship.
bin=$build/bin
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  found=$(x86_64-w64-mingw32-g++-posix -print-file-name="$dll")
  [ -f "$found" ] || found=/usr/x86_64-w64-mingw32/lib/$dll
  cp -f "$found" "$bin/" || finish 1 "FAIL (runtime DLL $dll)"
done
for target in quillon.dll proxyhelper.dll; do
  [ -f "$bin/$target" ] || finish 1 "FAIL ($target missing)"
done
ls "$build"/libquillon.dll.a "$build"/libproxyhelper.dll.a >/dev/null || finish 1 "FAIL (import libraries)"

# ---- Wine ------------------------------------------------------------------------
# A private prefix for this run; its wineserver stays up for the whole test
# run (a fresh one per test program would cost seconds each) and is ended
# with the prefix.
export WINEPREFIX
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-wine.XXXXXX")
export WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installer prompts during the first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
timed wine-init timeout 300 wineboot -i >/dev/null 2>&1 || finish 1 "FAIL (wineboot)"
wineserver -p >/dev/null 2>&1

# ---- tests -----------------------------------------------------------------------
log=$build/windows-ctest.log
timed tests ctest --test-dir "$build" -j"$jobs" --timeout 300 --output-on-failure >"$log" 2>&1
status=$?
grep -E '^(The following tests|[[:space:]]+[0-9]+ - )' "$log" || true
skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .*\(Skipped\)$' "$log" || true)
result=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
echo "$result"
echo "windows: $skipped test(s) skipped (Wine's WinINet differs there; reasons in $log)"
if [ $status -ne 0 ]; then
  tail -n 60 "$log"
  finish 1 "FAIL (${result:-ctest failed})"
fi
finish 0 "PASS (${result})"
