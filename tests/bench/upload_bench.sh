#!/usr/bin/env bash
# Upload benchmark, run by hand: a backlog of outbox files delivered under Wine through
# FileUploader, ApiClient and HttpRequestWindows to the local web API on loopback. Prints files
# per second, how many TCP connections carried them, and the draining process's private memory
# (sampled from /proc every 0.1 s) at its peak, against the peak of a drain of 100 files, so
# what the backlog itself holds shows. Needs the windows preset
# built, and the local web API from the bench preset (optimised; else the native one):
#   cmake --build --preset windows && cmake --build --preset bench --target ostrivel-api
#   bash tests/bench/upload_bench.sh [FILES]     # 10000 by default
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
files=${1:-10000}
export OSTRIVEL_SOURCE_DIR="$root" OSTRIVEL_BUILD_DIR="$root/build/windows"
export OSTRIVEL_WINE_TEMPLATE="$root/build/windows/wine/template"
if [ -z "${OSTRIVEL_NATIVE_BUILD_DIR:-}" ]; then
  OSTRIVEL_NATIVE_BUILD_DIR="$root/build/native"
  if [ -x "$root/build/bench/tools/api/ostrivel-api" ]; then OSTRIVEL_NATIVE_BUILD_DIR="$root/build/bench"; fi
fi
export OSTRIVEL_NATIVE_BUILD_DIR
bash "$root/tests/wine/make-prefix.sh" "$OSTRIVEL_WINE_TEMPLATE" || exit 1
source "$root/tests/wine/lib.sh"
source "$root/tests/bench/proc_lib.sh"
trap 'exit 130' INT TERM HUP

start_api || finish
echo "local web API: $OSTRIVEL_NATIVE_BUILD_DIR/tools/api/ostrivel-api at $API_URL"
secret=$(api_new_credential | jq -r .secret)
at_exit "wineserver -k"

# drain FILES: runs the benchmark program once; prints its rate line and sets BEFORE and PEAK,
# the private dirty memory (kB) of its process while the backlog waits (after "written") and
# at its highest while it drains (from "draining" to "drained").
drain() {
  local bench pid="" phase dirty
  BEFORE=0
  PEAK=0
  wine "$OSTRIVEL_BUILD_DIR/tests/delivery/upload_bench_windows.exe" "$API_URL" "$secret" "$1" \
    >"$WORK/bench.out" </dev/null &
  bench=$!
  while kill -0 "$bench" 2>/dev/null; do
    [ -n "$pid" ] || pid=$(wine_pid upload_bench_windows.exe) || pid=""
    phase=$(tail -n 1 "$WORK/bench.out" 2>/dev/null | tr -d '\r')
    if [ -n "$pid" ] && read -r _ dirty < <(memory_kb "$pid" 2>/dev/null); then
      case "$phase" in
        written) [ "$dirty" -gt "$BEFORE" ] && BEFORE=$dirty ;;
        draining) [ "$dirty" -gt "$PEAK" ] && PEAK=$dirty ;;
      esac
    fi
    sleep 0.1
  done
  wait "$bench"
  expect_eq "$?" 0 "exit code of upload_bench_windows for $1 files"
  tr -d '\r' <"$WORK/bench.out" | grep -v -x -e written -e draining -e drained
}
mib() { awk -v kb="$1" 'BEGIN { printf "%.1f MiB", kb / 1024 }'; }

# A small drain first: the same threads, connection and libraries, but hardly any backlog, so
# the difference of the peaks is what the backlog itself costs.
drain 100
small_peak=$PEAK
drain "$files"
stats=$(api_admin GET stats)
echo "requests $(jq .requests <<<"$stats"), records stored $(jq .records <<<"$stats"), connections $(jq .connections <<<"$stats")"
echo "private dirty memory of the draining process: $(mib "$BEFORE") before the drain, peak $(mib "$PEAK") (100 files: $(mib "$small_peak")); the backlog of $files files adds $(mib $((PEAK - small_peak)))"
expect_eq "$(jq .records <<<"$stats")" $((files + 100)) "records stored"
finish
