#!/usr/bin/env bash
# Takes the README's picture of the dashboard: headless chromium over a local web API started on a
# copy of the records a demo run received, saved as a PNG.
#
#   bash tools/dashboard-screenshot.sh [STATE_DIR [PNG]]
#
# STATE_DIR is the API's state folder (build/demo/api after `bash tools/run-demo.sh`), PNG the
# picture (docs/dashboard.png). The page shows the PC that uploaded last, on its latest day.
set -euo pipefail
cd "$(dirname "$0")/.."
state=${1:-build/demo/api}
out=${2:-docs/dashboard.png}
api_exe=${OSTRIVEL_NATIVE_BUILD:-build/native}/tools/api/ostrivel-api
[ -d "$state" ] || { echo "no API state folder at $state: run the demo first" >&2; exit 1; }
[ -x "$api_exe" ] || { echo "$api_exe is not built: cmake --build --preset native" >&2; exit 1; }

work=$(mktemp -d)
api_pid=""
cleanup() {
  if [ -n "$api_pid" ]; then kill "$api_pid" 2>/dev/null || true; wait "$api_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cp -a "$state" "$work/state"  # the API rewrites its state file: the demo's stays as it was

"$api_exe" --state "$work/state" --port 0 >"$work/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 50); do grep -q '^listening on ' "$work/api.log" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/api.log" | head -n 1)
[ -n "$port" ] || { echo "the local web API did not start: $(cat "$work/api.log")" >&2; exit 1; }

chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/profile" --hide-scrollbars \
  --window-size=1280,840 --virtual-time-budget=5000 --screenshot="$work/shot.png" "http://127.0.0.1:$port/" \
  >/dev/null 2>"$work/chromium.log"
mkdir -p "$(dirname "$out")"
mv "$work/shot.png" "$out"
echo "saved $out"
