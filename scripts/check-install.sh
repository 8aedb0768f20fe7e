#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it the way another project
# would: builds examples/consumer with find_package(ProxyHelper) and with
# pkg-config and runs both, also against the installed reference service.
# Checks that only the public headers and the public targets were installed.
#
#   scripts/check-install.sh [BUILD_DIR]
#
# Without BUILD_DIR, build/package is configured from the release preset
# (install prefix /usr, as for the Debian package) and built.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check-install: FAIL: $*" >&2; exit 1; }
step() { echo "check-install: $*"; }

source scripts/lib/package-build.sh "$@"

work=$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-install.XXXXXX")
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

step "installing $build into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null

# --- what was installed ------------------------------------------------------
lib=$(find "$prefix" -name 'libproxyhelper.so' -print -quit)
[ -n "$lib" ] || fail "libproxyhelper.so not installed"
libdir=$(dirname "$lib")
for f in libproxyhelper.so "libproxyhelper.so.${version%%.*}" "libproxyhelper.so.$version" \
         libquillon.so "libquillon.so.${version%%.*}" "libquillon.so.$version" \
         pkgconfig/proxyhelper.pc pkgconfig/quillon.pc \
         cmake/ProxyHelper/ProxyHelperConfig.cmake cmake/ProxyHelper/ProxyHelperConfigVersion.cmake \
         cmake/ProxyHelper/ProxyHelperTargets.cmake; do
  [ -e "$libdir/$f" ] || fail "$libdir/$f not installed"
done
[ -x "$prefix/bin/proxyhelper-devserver" ] || fail "proxyhelper-devserver not installed"
if grep -q '^PROXYHELPER_BUILD_CLI:BOOL=OFF' "$build/CMakeCache.txt"; then
  step "the command-line client is switched off in $build: not checked"
  cli=""
else
  cli=$prefix/bin/proxyhelper
  [ -x "$cli" ] || fail "the command-line client (bin/proxyhelper) not installed"
  for f in share/bash-completion/completions/proxyhelper share/zsh/vendor-completions/_proxyhelper; do
    [ -f "$prefix/$f" ] || fail "the command-line client's completion $f not installed"
  done
fi

# Exactly the public headers, in their folders; no internal header anywhere.
expected_headers="include/proxyhelper/facade/ConfigItems.h
include/proxyhelper/facade/ProxyHelper.h
include/proxyhelper/facade/ProxyHelperControl.h
include/proxyhelper/facade/ProxyHelperExport.h
include/proxyhelper/facade/Records.h
include/proxyhelper/hostlib/quillon.h
include/proxyhelper/hostlib/quillon_export.h
include/proxyhelper/protocol/Records.h"
headers=$(cd "$prefix" && find . -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.hh' -o -name '*.inc' \) |
  sed 's|^\./||' | sort)
if [ "$headers" != "$expected_headers" ]; then
  echo "installed headers:"; echo "$headers"
  fail "the installed headers are not exactly the public ones"
fi
# Nothing of the internals: no static archive, no object library, no test or tool core.
# (The documentation may speak of internals: share/doc is not searched.)
internals=$(cd "$prefix" && find . -path ./share/doc -prune -o \( -name '*.a' -o -name '*.o' -o -name '*internal*' \
  -o -name '*_core*' -o -name '*objects*' \) -print)
[ -z "$internals" ] || fail "internal files installed: $internals"
targets=$(cat "$libdir"/cmake/ProxyHelper/ProxyHelperTargets*.cmake)
grep -q 'add_library(ProxyHelper::proxyhelper SHARED IMPORTED)' <<<"$targets" || fail "no ProxyHelper::proxyhelper"
grep -q 'add_library(ProxyHelper::quillon SHARED IMPORTED)' <<<"$targets" || fail "no ProxyHelper::quillon"
if grep -qE 'proxyhelper_objects|proxyhelper_internal|PkgConfig::|BZip2::|Threads::' <<<"$targets"; then
  fail "the exported targets name build-only dependencies"
fi
bash tests/abi/check_exports.sh "$libdir/libproxyhelper.so" "$libdir/libquillon.so" >/dev/null ||
  fail "the installed libraries export more or less than their interface"
step "installed: libraries, public headers only, CMake package, pkg-config files, tools"

export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

# Each consumer must resolve both libraries from the prefix, not from elsewhere.
check_resolution() {
  local binary=$1 resolved
  for name in libproxyhelper.so libquillon.so; do
    resolved=$(ldd "$binary" | awk -v n="$name" 'index($1, n) == 1 { print $3 }')
    [[ "$resolved" == "$libdir/"* ]] || fail "$binary loads $name from '${resolved:-nowhere}'"
  done
}

# With no login server the call fails without any traffic: the transport failure.
run_offline() {
  local binary=$1 out
  out=$("$binary") || fail "$binary (no servers) exited $?: $out"
  grep -q 'GetVersion result 0x70000066 ' <<<"$out" || fail "$binary printed: $out"
}

# --- CMake: find_package(ProxyHelper CONFIG REQUIRED) ------------------------
step "building examples/consumer with find_package"
cmake -S examples/consumer -B "$work/cmake-consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "configuring the consumer failed"; }
found=$(sed -n 's/^ProxyHelper_DIR:PATH=//p' "$work/cmake-consumer/CMakeCache.txt")
[ "$found" = "$libdir/cmake/ProxyHelper" ] || fail "find_package found ProxyHelper in '$found'"
cmake --build "$work/cmake-consumer" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "building the consumer failed"; }
check_resolution "$work/cmake-consumer/consumer"
run_offline "$work/cmake-consumer/consumer"

# The version file accepts the installed version and refuses a newer major.
version_probe() {
  local dir=$work/version-probe-$1
  mkdir -p "$dir"
  printf 'cmake_minimum_required(VERSION 3.16)\nproject(probe CXX)\nfind_package(ProxyHelper %s CONFIG REQUIRED)\n' \
    "$1" >"$dir/CMakeLists.txt"
  cmake -S "$dir" -B "$dir/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1
}
version_probe "$version" || fail "find_package(ProxyHelper $version) refused the installed version"
if version_probe "$((${version%%.*} + 1))"; then
  fail "find_package accepted a major version that is not installed"
fi

# --- pkg-config ----------------------------------------------------------------
step "building examples/consumer with pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion proxyhelper)" = "$version" ] || fail "pkg-config reports another version"
pc_libdir=$(realpath -m "$(pkg-config --variable=libdir proxyhelper)")
[ "$pc_libdir" = "$(realpath -m "$libdir")" ] || fail "proxyhelper.pc points at $pc_libdir"
# shellcheck disable=SC2046  # the flags are meant to split
c++ -Wall -Wextra -Werror examples/consumer/main.cpp $(pkg-config --cflags --libs proxyhelper) \
  -o "$work/pc-consumer" || fail "building the consumer with pkg-config failed"
check_resolution "$work/pc-consumer"
run_offline "$work/pc-consumer"

# --- both consumers against the installed reference service --------------------
step "running the consumers against the installed proxyhelper-devserver"
"$prefix/bin/proxyhelper-devserver" --listen 127.0.0.1:0 --db :memory: --quiet >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
address=""
for _ in $(seq 100); do  # at most ~10 s
  address=$(sed -n 's/^listening on \(127\.0\.0\.1:[0-9][0-9]*\).*/\1/p' "$work/server.out" | head -1)
  [ -n "$address" ] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$address" ] || { cat "$work/server.err"; fail "the installed devserver did not start"; }
for consumer in "$work/cmake-consumer/consumer" "$work/pc-consumer"; do
  out=$("$consumer" "$address") || fail "$consumer against $address exited $?: $out"
  grep -qE '^GetVersion result 0x0 version "[^"]+"$' <<<"$out" || fail "$consumer printed: $out"
done
kill "$server_pid"
wait "$server_pid" || fail "the devserver did not stop cleanly"
server_pid=""

for tool in "$prefix/bin/proxyhelper-devserver" $cli; do
  out=$("$tool" --version) || fail "$tool --version exited $?"
  grep -qF "$version" <<<"$out" || fail "$tool --version printed: $out"
done

step "PASS (prefix layout, find_package, pkg-config, installed tools; version $version)"
