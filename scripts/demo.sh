#!/usr/bin/env bash
# Installs what is missing, builds (release preset) and runs the demo: the
# whole client story against the bundled reference account service.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
if [ -x build/release/tools/cli/proxyhelper ]; then
  exec build/release/tools/cli/proxyhelper demo "$@"
fi
echo "demo: the command-line client is not built yet; the library and the reference service are." >&2
exit 1
