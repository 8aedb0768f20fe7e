#!/usr/bin/env bash
# Packaging and code-hygiene checks for CI: install into a temporary prefix and
# consume it both ways, build/install/remove the Debian package, formatting,
# lint. Prints one summary line per stage and exits non-zero if any failed.
# Every stage runs even after a failure, so one run shows them all.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

summary=()
status=0
stage() {
  local name=$1; shift
  local start=$SECONDS
  echo "=== packaging stage: $name"
  if "$@"; then
    summary+=("$name PASS $((SECONDS - start))s")
  else
    summary+=("$name FAIL $((SECONDS - start))s")
    status=1
  fi
}

# PROXYHELPER_PACKAGE_BUILD names an existing release build to reuse (CI
# passes the one the demo stage made); without it build/package is made.
build_dir=${PROXYHELPER_PACKAGE_BUILD:-}
stage check-install bash scripts/check-install.sh $build_dir
stage check-deb bash scripts/check-deb.sh $build_dir
stage check-format bash scripts/check-format.sh
stage check-tidy bash scripts/check-tidy.sh

echo "=== packaging summary"
printf '%s\n' "${summary[@]}"
exit $status
