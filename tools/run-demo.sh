#!/usr/bin/env bash
# Runs the agent's main job on this Linux machine: the local web API with its dashboard, and
# ostrivel.exe -run under Wine against it, printing the agent's log lines until Ctrl+C, which
# ends the agent, Wine and the API. Installs and builds what is missing first. Everything lives
# under build/demo.
#
#   bash tools/run-demo.sh [--approve-in-dashboard]
#
# The API approves the PC by itself, unless --approve-in-dashboard: then the PC waits until its
# "Approve" button on the dashboard is pressed. The API asks for a partial record every minute,
# so the dashboard fills while a ten-minute bucket is still open.
#
# For tests: OSTRIVEL_DEMO_NATIVE_BUILD and OSTRIVEL_DEMO_WINDOWS_BUILD name build folders to
# take as they are (then nothing is installed or built, and the Windows one must hold the
# prepared Wine prefix, wine/template), OSTRIVEL_DEMO_DIR the folder instead of build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

approval=(--auto-approve)
case "${1:-}" in
  "") ;;
  --approve-in-dashboard) approval=() ;;
  *)
    echo "usage: bash tools/run-demo.sh [--approve-in-dashboard]" >&2
    exit 2
    ;;
esac

native=${OSTRIVEL_DEMO_NATIVE_BUILD:-}
windows=${OSTRIVEL_DEMO_WINDOWS_BUILD:-}
if [ -z "$native" ] || [ -z "$windows" ]; then
  bash tools/setup.sh
fi
if [ -z "$native" ]; then
  native="$root/build/native"
  cmake --preset native >/dev/null
  cmake --build --preset native --target ostrivel-api
fi
if [ -z "$windows" ]; then
  windows="$root/build/windows"
  cmake --preset windows >/dev/null
  cmake --build --preset windows --target ostrivel
  bash tests/wine/make-prefix.sh "$windows/wine/template"
fi

demo=${OSTRIVEL_DEMO_DIR:-$root/build/demo}
mkdir -p "$demo"
rm -rf "$demo/prefix" "$demo/api"
cp -a "$windows/wine/template" "$demo/prefix"
# Every Wine command below, wineserver -k included, concerns the demo's own prefix only.
export WINEPREFIX="$demo/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

api_pid=""
finish() {
  trap - EXIT INT TERM
  # Wine does not pass Ctrl+C on to the agent's console handler: ending the prefix's Wine server
  # ends the agent and every other Wine process of the demo.
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$api_pid" ]; then kill "$api_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  echo
  echo "records received by the local web API: $demo/api/records"
  echo "agent data folder: $demo/prefix/drive_c/ProgramData/Ostrivel"
}
trap finish EXIT
trap 'finish; exit 130' INT
trap 'finish; exit 143' TERM

"$native/tools/api/ostrivel-api" --state "$demo/api" --cadence 1 "${approval[@]}" >"$demo/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 50); do
  grep -q '^listening on' "$demo/api.log" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^listening on 127.0.0.1://p' "$demo/api.log" | head -n 1)
if [ -z "$port" ]; then
  echo "the local web API did not start:" >&2
  cat "$demo/api.log" >&2
  exit 1
fi
echo "dashboard: http://127.0.0.1:$port/ (open it in a browser; the PC's applications appear after a few minutes)"
echo "local web API's request log: $demo/api.log; Ctrl+C stops the agent, Wine and the API"
if [ ${#approval[@]} -eq 0 ]; then
  echo "approve the PC on the dashboard: it waits for the \"Approve\" button"
fi

# In the background, so that the shell runs its Ctrl+C trap at once instead of after the agent.
OSTRIVEL_API_URL="http://127.0.0.1:$port" wine "$windows/ostrivel.exe" -run &
wait $! || true
