#!/usr/bin/env bash
# Builds the Windows (MinGW-w64, x86_64) dependencies of the cross build from
# Debian's own sources and installs them into a prefix outside the
# repository:
#
#   Crypto++      static library, from the source package libcrypto++
#   bzip2         static library, from the source package bzip2
#   GoogleTest    static libraries, from /usr/src/googletest (package googletest)
#   cpp-httplib   the header httplib.h, from the source package cpp-httplib
#
# The prefix is reused while the source versions, the compiler and this
# script stay the same, so a second run takes seconds.
#
#   scripts/build-mingw-deps.sh            # prints the prefix on its last line
#   PROXYHELPER_DEPS_CACHE=/some/dir scripts/build-mingw-deps.sh
#
# Installs the Debian packages it needs (as root) when they are missing.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${PROXYHELPER_DEPS_CACHE:-/var/cache/proxyhelper-mingw}
prefix=$cache/prefix
jobs=${PROXYHELPER_JOBS:-2}
triplet=x86_64-w64-mingw32
toolchain=$repo/cmake/mingw-w64-x86_64.cmake

log() { echo "[mingw-deps] $*" >&2; }

# ---- packages ---------------------------------------------------------------
packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev dpkg-dev cmake ninja-build
          googletest wine wine64)
apt_updated=0
apt_update() {
  if [ "$apt_updated" = 0 ]; then
    apt-get update -q >&2
    apt_updated=1
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

# ---- stamps: what each part of the prefix was built from ---------------------
# A part is rebuilt only when its inputs changed, so a second run is quick.
binary_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }
common_stamp="compiler $($triplet-g++-posix -dumpfullversion) $(binary_version mingw-w64-x86-64-dev)
toolchain $(sha256sum "$toolchain" | cut -d' ' -f1)"
# The text of one build function plus its inputs.
part_stamp() { echo "$common_stamp"; declare -f "build_$1"; echo "$2"; }
part_is_current() { [ -f "$prefix/.stamp-$1" ] && [ "$(cat "$prefix/.stamp-$1")" = "$(part_stamp "$1" "$2")" ]; }

# ---- source packages ----------------------------------------------------------
# apt-get source needs deb-src entries; add them for the archive this machine
# already uses, in the same deb822 form, unless some are configured.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  local uri
  uri=$(grep -hsE '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}' \
        | grep -E '/debian/?$' | head -n1 || true)
  uri=${uri:-http://deb.debian.org/debian}
  log "adding deb-src entries for $uri"
  cat > /etc/apt/sources.list.d/proxyhelper-src.sources <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt_updated=0
  apt_update
}

src=$cache/src
# The source of the version whose -dev package is installed here, so the
# Windows build matches the Linux one.
fetch_source() {  # package binary-package -> prints the unpacked directory
  local name=$1 binary=$2 version dir
  version=$(binary_version "$binary")
  version=${version#*:}
  dir=$(find "$src" -maxdepth 1 -type d -name "${name}-*" 2>/dev/null | head -n1)
  if [ -f "$src/$name.version" ] && [ "$(cat "$src/$name.version")" = "$version" ] && [ -n "$dir" ]; then
    echo "$dir"
    return
  fi
  ensure_deb_src
  rm -rf "$src/$name"-* "$src/$name"_*
  mkdir -p "$src"
  log "apt-get source $name=$version"
  (cd "$src" && apt-get source -q "$name=$version" >&2) ||
    (cd "$src" && apt-get source -q "$name" >&2)
  echo "$version" > "$src/$name.version"
  find "$src" -maxdepth 1 -type d -name "${name}-*" | head -n1
}

mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
work=$(mktemp -d "${TMPDIR:-/tmp}/mingw-deps.XXXXXX")
trap 'rm -rf "$work"' EXIT
started=$SECONDS

# ---- bzip2 --------------------------------------------------------------------
build_bzip2() {
  local bz
  bz=$(fetch_source bzip2 libbz2-dev)
  log "building bzip2 from $bz"
  mkdir -p "$work/bzip2"
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    $triplet-gcc-posix -O2 -c "$bz/$f.c" -o "$work/bzip2/$f.o"
  done
  rm -f "$prefix/lib/libbz2.a"
  $triplet-gcc-ar-posix rcs "$prefix/lib/libbz2.a" "$work"/bzip2/*.o
  cp "$bz/bzlib.h" "$prefix/include/"
}

# ---- Crypto++ -------------------------------------------------------------------
# The static library only, at -O1: the code needs little of it, and the
# optimised build of all of it is the slowest step on a fresh machine.
build_cryptopp() {
  local cp_src
  cp_src=$(fetch_source libcrypto++ libcrypto++-dev)
  log "building Crypto++ from $cp_src"
  cp -a "$cp_src" "$work/cryptopp"
  make -C "$work/cryptopp" -f GNUmakefile-cross -j"$jobs" static \
    CXX="$triplet-g++-posix" AR="$triplet-gcc-ar-posix" RANLIB="$triplet-gcc-ranlib-posix" \
    CXXFLAGS="-O1 -DNDEBUG -D_WIN32_WINNT=0x0601 -pipe" >"$work/cryptopp.log" 2>&1 ||
    { tail -n 40 "$work/cryptopp.log" >&2; return 1; }
  rm -rf "$prefix/include/cryptopp"
  mkdir -p "$prefix/include/cryptopp"
  cp "$work"/cryptopp/*.h "$prefix/include/cryptopp/"
  cp "$work/cryptopp/libcryptopp.a" "$prefix/lib/libcrypto++.a"
  cat > "$prefix/lib/pkgconfig/libcrypto++.pc" <<EOF
prefix=$prefix
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: Crypto++
Description: Crypto++ (static, MinGW-w64)
Version: $(binary_version libcrypto++-dev | sed 's/[+~-].*//')
Cflags: -I\${includedir}
Libs: -L\${libdir} -lcrypto++ -lws2_32
EOF
}

# ---- cpp-httplib (header only) --------------------------------------------------
build_httplib() {
  local hl
  hl=$(fetch_source cpp-httplib libcpp-httplib-dev)
  cp "$hl/httplib.h" "$prefix/include/"
  cat > "$prefix/lib/pkgconfig/cpp-httplib.pc" <<EOF
prefix=$prefix
includedir=\${prefix}/include

Name: cpp-httplib
Description: cpp-httplib header (MinGW-w64, without TLS)
Version: $(binary_version libcpp-httplib-dev | sed 's/[+~-].*//')
Cflags: -I\${includedir}
Libs: -lws2_32
EOF
}

# ---- GoogleTest -------------------------------------------------------------------
build_googletest() {
  log "building GoogleTest from /usr/src/googletest"
  cmake -S /usr/src/googletest -B "$work/googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    >"$work/googletest.log" 2>&1 &&
    cmake --build "$work/googletest" -j"$jobs" >>"$work/googletest.log" 2>&1 &&
    cmake --install "$work/googletest" >>"$work/googletest.log" 2>&1 ||
    { tail -n 40 "$work/googletest.log" >&2; return 1; }
}

part() {  # name, inputs
  local name=$1 inputs=$2 t=$SECONDS
  if part_is_current "$name" "$inputs"; then
    log "$name: cached"
    return
  fi
  rm -f "$prefix/.stamp-$name"
  "build_$name"
  part_stamp "$name" "$inputs" > "$prefix/.stamp-$name"
  log "$name: built in $((SECONDS - t)) s"
}

part bzip2 "$(binary_version libbz2-dev)"
part httplib "$(binary_version libcpp-httplib-dev)"
part googletest "$(binary_version googletest)"
part cryptopp "$(binary_version libcrypto++-dev)"

log "dependencies ready in $((SECONDS - started)) s: $prefix"
echo "$prefix"
