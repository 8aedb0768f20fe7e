#!/usr/bin/env bash
# Builds the Debian package from a release build, inspects it, installs it
# with apt-get as a user would, runs the installed programs and builds the
# consumer example against the installed package, then removes the package
# (purged: nothing of it stays behind).
# Needs root (or sudo) and dpkg-dev (dpkg-shlibdeps).
#
#   scripts/check-deb.sh [BUILD_DIR]
#
# Without BUILD_DIR, build/package is configured from the release preset with
# install prefix /usr and built.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check-deb: FAIL: $*" >&2; exit 1; }
step() { echo "check-deb: $*"; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || fail "needs root or sudo to install the package"
  SUDO="sudo"
fi
command -v dpkg-shlibdeps >/dev/null || fail "dpkg-shlibdeps missing (apt-get install dpkg-dev)"

source scripts/lib/package-build.sh "$@"

work=$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-deb.XXXXXX")
installed=0
cleanup() {
  if [ $installed -eq 1 ]; then
    step "removing the package"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq proxyhelper >/dev/null 2>&1 ||
      echo "check-deb: could not remove the package proxyhelper" >&2
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- build -------------------------------------------------------------------
step "building the package"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
mapfile -t debs < <(find "$work/out" -maxdepth 1 -name 'proxyhelper_*.deb')
[ ${#debs[@]} -eq 1 ] || fail "expected one proxyhelper_*.deb, found ${#debs[@]}"
deb=${debs[0]}

# --- inspect -------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = proxyhelper ] || fail "package name is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "package version is '$(field Version)', not $version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
for needed in libcurl4 'libcrypto\+\+8' 'libbz2-1\.0' libstdc\\+\\+6 libc6; do
  grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|')
for path in /usr/bin/proxyhelper /usr/bin/proxyhelper-devserver \
            /usr/include/proxyhelper/facade/ProxyHelper.h /usr/include/proxyhelper/hostlib/quillon.h \
            /usr/share/bash-completion/completions/proxyhelper /usr/share/zsh/vendor-completions/_proxyhelper \
            /usr/lib/systemd/system/proxyhelper-connect@.service /usr/share/doc/proxyhelper/hooks/nmcli-vpn; do
  grep -qxF "$path" <<<"$contents" || fail "the package lacks $path"
done
for pattern in '/libproxyhelper\.so\.[0-9]+$' '/libquillon\.so\.[0-9]+$' '/cmake/ProxyHelper/ProxyHelperConfig\.cmake$' \
               '/pkgconfig/proxyhelper\.pc$'; do
  grep -qE "$pattern" <<<"$contents" || fail "the package lacks a file matching $pattern"
done
headers=$(grep -E '\.(h|hpp|hh)$' <<<"$contents" | sort)
public_headers="/usr/include/proxyhelper/facade/ConfigItems.h
/usr/include/proxyhelper/facade/ProxyHelper.h
/usr/include/proxyhelper/facade/ProxyHelperControl.h
/usr/include/proxyhelper/facade/ProxyHelperExport.h
/usr/include/proxyhelper/facade/Records.h
/usr/include/proxyhelper/hostlib/quillon.h
/usr/include/proxyhelper/hostlib/quillon_export.h
/usr/include/proxyhelper/protocol/Records.h"
[ "$headers" = "$public_headers" ] || fail "the package holds other headers than the public ones: $headers"
grep -vE '^/usr/' <<<"$contents" | grep -q . && fail "the package installs outside /usr"
# The libraries land in the linker's cache on install: a trigger or a postinst
# that runs ldconfig (CPack writes one or the other, depending on its version).
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
grep -qs ldconfig "$work/control/triggers" "$work/control/postinst" || fail "no ldconfig run for the libraries"
step "inspected $(basename "$deb"): Depends: $depends"

# --- install as a user would ----------------------------------------------------
if dpkg-query -W -f='${Status}' proxyhelper 2>/dev/null | grep -q 'install ok installed'; then
  step "note: a proxyhelper package was already installed; it is replaced and removed at the end"
fi
step "installing with apt-get"
installed=1
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get install failed"; }

for tool in /usr/bin/proxyhelper /usr/bin/proxyhelper-devserver; do
  out=$(env -u LD_LIBRARY_PATH "$tool" --version) || fail "$tool --version exited $?"
  grep -qF "$version" <<<"$out" || fail "$tool --version printed: $out"
  step "$tool --version: $out"
done

# The usual way for another project: find_package with no hints, nothing on
# LD_LIBRARY_PATH.
if ! { cmake -S examples/consumer -B "$work/consumer" -G Ninja && cmake --build "$work/consumer"; } \
     >"$work/consumer.log" 2>&1; then
  cat "$work/consumer.log"
  fail "the consumer does not build against the installed package"
fi
found=$(sed -n 's/^ProxyHelper_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")
[[ "$found" == /usr/lib/* ]] || fail "find_package found ProxyHelper in '$found', not in the package"
out=$(env -u LD_LIBRARY_PATH "$work/consumer/consumer") || fail "the consumer exited $?: $out"
grep -q 'GetVersion result 0x70000066 ' <<<"$out" || fail "the consumer printed: $out"
step "consumer built with find_package against /usr: $out"

installed=0
DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq proxyhelper >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log"; fail "apt-get purge failed"; }
[ ! -e /usr/bin/proxyhelper ] || fail "/usr/bin/proxyhelper is still there after removal"
if dpkg-query -W proxyhelper >/dev/null 2>&1; then fail "dpkg still lists proxyhelper after the purge"; fi
step "PASS (package built, inspected, installed, run, removed)"
