# Sourced by the packaging checks: sets `build` to a built release tree and
# `version` to its project version. Uses the caller's `fail`.
#   $1: an existing configured build directory to reuse (optional); without
#       it build/package is configured from the release preset (prefix /usr).
if [ $# -ge 1 ]; then
  build=$1
  [ -f "$build/CMakeCache.txt" ] || fail "$build is not a configured build directory"
else
  build=build/package
  cmake --preset release -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build" -j2 >/dev/null || fail "build of $build failed"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
