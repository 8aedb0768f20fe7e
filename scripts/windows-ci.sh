#!/usr/bin/env bash
# The Windows stage: cross-builds both DLLs (quillon.dll, proxyhelper.dll with
# their import libraries, the transport linked to the real WinINet) and the
# Windows test programs with MinGW-w64, then runs the tests under Wine, where
# the HTTP exchanges go through Wine's WinINet to loopback servers that the
# tests start themselves; then a Windows program fails over between two Linux
# reference services that this script starts, and kills one of on request.
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
services=()  # pids of the Linux services the failover step starts
cleanup() {
  local pid
  for pid in "${services[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
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
fi

# ---- failover against the Linux services ------------------------------------------
# Two Linux reference services on one SQLite file, each pushing both
# addresses; the Windows program (tests/windows/FailoverAgainstServicesTest.cpp)
# handshakes through the first, asks for its death by creating a file, and
# goes on through the second. Only this script can kill a Linux process.
fail_dir=$build/failover
devserver=$repo/build/dev/tools/devserver/proxyhelper-devserver
start_service() {  # name address list: starts it, waits for its listening line
  local name=$1 address=$2 list=$3 round
  "$devserver" --listen "$address" --db "$fail_dir/deployment.db" \
    --seed "$repo/tools/devserver/seed.ini" --login-servers "$list" \
    >"$fail_dir/$name.out" 2>"$fail_dir/$name.err" &
  services+=($!)
  for ((round = 0; round < 100; round++)); do
    grep -qs "^listening on $address\$" "$fail_dir/$name.out" && return 0
    kill -0 "${services[-1]}" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
stop_services() {
  local pid
  for pid in "${services[@]}"; do kill -KILL "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  services=()
}
failover() {
  rm -rf "$fail_dir" && mkdir -p "$fail_dir" || return 1
  if [ ! -x "$devserver" ] &&
     ! { { [ -f "$repo/build/dev/CMakeCache.txt" ] || (cd "$repo" && cmake --preset dev); } &&
         cmake --build "$repo/build/dev" --target proxyhelper-devserver -j"$jobs"; } >"$fail_dir/devserver-build.log" 2>&1; then
    tail -n 30 "$fail_dir/devserver-build.log"
    echo "failover: cannot build proxyhelper-devserver"
    return 1
  fi
  # Random ports; a pair where either is taken is given up for another.
  local a b try started=0
  for ((try = 0; try < 5 && !started; try++)); do
    rm -f "$fail_dir"/deployment.db*
    a=127.0.0.1:$((20000 + RANDOM % 20000))
    b=127.0.0.2:$((40000 + RANDOM % 20000))
    if start_service a "$a" "$a;$b" && start_service b "$b" "$a;$b"; then
      started=1
    else
      stop_services
    fi
  done
  if [ "$started" -ne 1 ]; then
    cat "$fail_dir"/a.err "$fail_dir"/b.err 2>/dev/null | tail -n 20
    echo "failover: the services did not start"
    return 1
  fi
  local pid_a=${services[0]} request=$fail_dir/kill-request killed=0 round
  PROXYHELPER_FAILOVER_A=$a PROXYHELPER_FAILOVER_B=$b \
    PROXYHELPER_FAILOVER_KILL_REQUEST=$(winepath -w "$request" 2>/dev/null) \
    timeout 180 wine "$bin/windows_failover.exe" >"$fail_dir/program.log" 2>&1 &
  local program=$!
  for ((round = 0; round < 2000; round++)); do
    kill -0 "$program" 2>/dev/null || break
    if [ "$killed" -eq 0 ] && [ -f "$request" ]; then
      kill -KILL "$pid_a" && wait "$pid_a" 2>/dev/null
      services=("${services[@]:1}")
      killed=1
      echo "failover: killed $a (pid $pid_a) on request"
    fi
    sleep 0.1
  done
  kill -KILL "$program" 2>/dev/null
  wait "$program"
  local rc=$?
  stop_services
  cat "$fail_dir/program.log"
  if [ "$rc" -ne 0 ] || [ "$killed" -ne 1 ]; then
    echo "failover: FAIL (status $rc; services' logs in $fail_dir)"
    return 1
  fi
  echo "failover: PASS"
}
timed failover failover
failover_status=$?
if [ $status -ne 0 ]; then
  finish 1 "FAIL (${result:-ctest failed})"
fi
[ $failover_status -eq 0 ] || finish 1 "FAIL (failover against the Linux services; ${result})"
finish 0 "PASS (${result}; failover against the Linux services)"
