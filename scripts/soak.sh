#!/usr/bin/env bash
# Soak: many operations through the facade against three loopback servers
# that die and come back (tests/system/SoakTest.cpp), first natively with bounds on the
# growth of resident memory and open descriptors, then a shorter run under
# valgrind memcheck, which fails on any invalid access or definite leak.
#
#   scripts/soak.sh [OPERATIONS] [VALGRIND_OPERATIONS]    defaults 10000 and 300
#
# Environment: SOAK_BUILD_DIR (default build/soak), SOAK_CMAKE_ARGS (extra
# configure arguments).
set -euo pipefail
cd "$(dirname "$0")/.."

operations="${1:-10000}"
valgrind_operations="${2:-300}"
dir="${SOAK_BUILD_DIR:-build/soak}"
extra=(${SOAK_CMAKE_ARGS:-})
command -v valgrind >/dev/null || { echo "soak: valgrind is required" >&2; exit 2; }

cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${extra[@]}" >/dev/null
cmake --build "$dir" -j2 --target test_system

# The soak test alone out of the system tests' program.
filter='Soak.*'

echo "soak: native run, $operations operations"
PROXYHELPER_SOAK_OPS="$operations" "$dir/tests/test_system" --gtest_filter="$filter"

echo "soak: valgrind memcheck run, $valgrind_operations operations"
PROXYHELPER_SOAK_OPS="$valgrind_operations" PROXYHELPER_SOAK_NO_RSS_BOUND=1 \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --errors-for-leak-kinds=definite,indirect --error-exitcode=99 --quiet \
    "$dir/tests/test_system" --gtest_filter="$filter"
