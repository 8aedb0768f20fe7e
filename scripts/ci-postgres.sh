#!/usr/bin/env bash
# CI stage: the reference service's PostgreSQL store against a private
# cluster. Installs what is missing, builds the dev preset, starts a cluster
# on 127.0.0.1 in a temporary folder, runs the PostgreSQL tests with
# PROXYHELPER_TEST_POSTGRES set, and removes the cluster. Fails, never skips,
# when PostgreSQL cannot be installed, built against or started, or when a
# test was skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "ci-postgres: $*" >&2; exit 1; }

bash scripts/setup.sh || fail "cannot install the packages (scripts/setup.sh)"
ls -d /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 || fail "no PostgreSQL server installed"

# Asked for explicitly: configuring fails when libpq is missing.
cmake --preset dev -DPROXYHELPER_DEVSERVER_POSTGRES=ON >/dev/null ||
  fail "configure with PROXYHELPER_DEVSERVER_POSTGRES=ON failed (libpq missing?)"
cmake --build --preset dev || fail "build failed"

cluster=$(mktemp -d "${TMPDIR:-/tmp}/proxyhelper-pg.XXXXXX")
trap 'bash scripts/postgres-test-cluster.sh stop "$cluster"' EXIT
conninfo=$(bash scripts/postgres-test-cluster.sh start "$cluster") || fail "cannot start PostgreSQL"

log=build/dev/ci-postgres.log
if ! PROXYHELPER_TEST_POSTGRES=$conninfo ctest --preset dev -R 'Postgres' --no-tests=error 2>&1 |
     tee "$log"; then
  fail "PostgreSQL tests failed"
fi
# A skipped test here means the store was not reached: that is a failure too.
if grep -q 'Skipped\|Not Run' "$log"; then fail "PostgreSQL tests were skipped"; fi
echo "ci-postgres: passed"
