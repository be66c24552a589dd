#!/usr/bin/env bash
# Runs the fuzz targets for longer than the test command does: SECONDS each (default 600),
# keeping what they find in build/fuzz/tests/fuzz/corpus. Crashes are written beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
bash tools/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
dir=build/fuzz/tests/fuzz
# The same input lengths as the tests (tests/fuzz/CMakeLists.txt): answers and the identity file up
# to 64 KiB, deep enough to nest past any stack, the agent's own samples and events up to 4096 bytes.
for entry in fuzz_api_answers:65536 fuzz_identity_file:65536 fuzz_records:4096; do
  target=${entry%%:*}
  mkdir -p "$dir/corpus/$target"
  echo "== $target for $seconds s"
  "$dir/$target" -max_total_time="$seconds" -max_len="${entry#*:}" -artifact_prefix="$dir/" \
    "$dir/corpus/$target" "tests/fuzz/seeds/$target"
done
