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
for target in fuzz_api_answers fuzz_identity_file fuzz_sample_merge fuzz_event_rendering; do
  mkdir -p "$dir/corpus/$target"
  echo "== $target for $seconds s"
  "$dir/$target" -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$dir/" \
    "$dir/corpus/$target" "tests/fuzz/seeds/$target"
done
