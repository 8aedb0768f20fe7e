#!/usr/bin/env bash
# Lints the library sources (facade service transport protection wire hostlib
# platform) with clang-tidy-14 and the checks in .clang-tidy; any finding fails.
#
#   scripts/check-tidy.sh [BUILD_DIR]
#
# BUILD_DIR (default build/tidy) is configured with
# CMAKE_EXPORT_COMPILE_COMMANDS=ON when it has no compile_commands.json yet;
# nothing needs to be built. Two files are linted at a time.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/tidy}
tidy=${CLANG_TIDY:-clang-tidy-14}
if ! command -v "$tidy" >/dev/null; then
  echo "check-tidy: $tidy not found (apt-get install clang-tidy-14)" >&2
  exit 2
fi

# Configuring again picks up sources added since the last run.
if [ -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DPROXYHELPER_BUILD_TESTS=OFF -DPROXYHELPER_BUILD_TOOLS=OFF >/dev/null
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "check-tidy: $build/compile_commands.json missing (a Ninja or Makefile generator writes it)" >&2
  exit 2
fi

mapfile -d '' files < <(find facade service transport protection wire hostlib platform -type f -name '*.cpp' -print0 |
  sort -z)
if [ ${#files[@]} -eq 0 ]; then
  echo "check-tidy: no sources found" >&2
  exit 2
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -P2 -n1 "$tidy" -p "$build" --quiet >"$log" 2>&1 || status=$?

if [ $status -ne 0 ]; then
  # clang-tidy prints its progress lines ("N warnings generated") on stderr; keep the findings.
  grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Error while processing' "$log" || true
  findings=$(grep -cE ': (warning|error): ' "$log" || true)
  echo "check-tidy: ${#files[@]} files, $findings finding(s)"
  exit 1
fi
echo "check-tidy: ${#files[@]} files, no findings"
