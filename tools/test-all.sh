#!/usr/bin/env bash
# Runs every test: native unit tests (ASan + UBSan), the threaded tests under TSan, the fuzz
# targets for a bounded number of inputs, the Windows build with its checks, and the Wine
# tests. Installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/setup.sh

status=0
step() {
  echo "== $*"
  if ! "$@"; then
    echo "!! failed: $*"
    status=1
  fi
}

step cmake --preset native
step cmake --build --preset native
step ctest --preset native

step cmake --preset tsan
step cmake --build --preset tsan
step ctest --preset tsan -L 'infra|measurement|delivery|service'

step cmake --preset fuzz
step cmake --build --preset fuzz
step ctest --preset fuzz

step cmake --preset windows
step cmake --build --preset windows
step ctest --preset windows

# Nothing of Wine may outlive the run.
wineserver -k 2>/dev/null || true
exit $status
