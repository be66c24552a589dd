#!/usr/bin/env bash
# Runs the agent's main job on this Linux machine: the local web API (approving the PC by
# itself) and ostrivel.exe -run under Wine against it, printing the agent's log lines until
# Ctrl+C. Installs and builds what is missing first. Everything lives under build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/setup.sh
cmake --preset native >/dev/null
cmake --build --preset native --target ostrivel-api
cmake --preset windows >/dev/null
cmake --build --preset windows --target ostrivel

demo="$root/build/demo"
mkdir -p "$demo"
bash tests/wine/make-prefix.sh "$root/build/windows/wine/template"
rm -rf "$demo/prefix" "$demo/api"
cp -a "$root/build/windows/wine/template" "$demo/prefix"
export WINEPREFIX="$demo/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

api_pid=""
cleanup() {
  trap - EXIT INT TERM
  # Wine does not pass Ctrl+C on to the agent's console handler: the agent is ended here.
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$api_pid" ]; then kill "$api_pid" 2>/dev/null || true; fi
  echo
  echo "records received by the local web API: $demo/api/records"
  echo "agent data folder: $demo/prefix/drive_c/ProgramData/Ostrivel"
}
trap cleanup EXIT INT TERM

"$root/build/native/tools/api/ostrivel-api" --state "$demo/api" --auto-approve >"$demo/api.log" 2>&1 &
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
echo "local web API on http://127.0.0.1:$port (its request log: $demo/api.log); Ctrl+C stops both"

OSTRIVEL_API_URL="http://127.0.0.1:$port" wine "$root/build/windows/ostrivel.exe" -run || true
