#!/usr/bin/env bash
# The demo as a user runs it, stopped as a terminal's Ctrl+C stops it (SIGINT to its whole process
# group) once the first record has arrived: it returns within seconds and leaves nothing running,
# neither the agent nor any other Wine process of its prefix, nor the local web API.
set -uo pipefail
: "${OSTRIVEL_SOURCE_DIR:?run through ctest}" "${OSTRIVEL_BUILD_DIR:?}" "${OSTRIVEL_NATIVE_BUILD_DIR:?}"
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-demotest.XXXXXX")
demo="$work/demo"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
wait_for() {  # wait_for SECONDS COMMAND...
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.2
  done
}
# What is left of the demo: its process group, and anything running with its Wine prefix.
leftovers() {
  { pgrep -g "$demo_pid"; grep -lsz "^WINEPREFIX=$demo/prefix\$" /proc/[0-9]*/environ | cut -d/ -f3; } | sort -u
}
nothing_left() { [ -z "$(leftovers)" ]; }
stopped() { [ -z "$(ps -o stat= -p "$demo_pid" | grep -v Z)" ]; }  # a zombie until waited for
cleanup() {  # whatever the demo failed to end
  WINEPREFIX="$demo/prefix" wineserver -k >/dev/null 2>&1
  kill -KILL -- -"$demo_pid" 2>/dev/null
  wait "$demo_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# With job control the demo gets a process group of its own, as a terminal gives the command it
# runs, and SIGINT keeps its default (a script's plain background command would ignore it).
set -m
OSTRIVEL_DEMO_DIR="$demo" OSTRIVEL_DEMO_NATIVE_BUILD="$OSTRIVEL_NATIVE_BUILD_DIR" \
  OSTRIVEL_DEMO_WINDOWS_BUILD="$OSTRIVEL_BUILD_DIR" bash "$OSTRIVEL_SOURCE_DIR/tools/run-demo.sh" \
  >"$work/out" 2>&1 </dev/null &
demo_pid=$!
set +m

wait_for 20 grep -qs '^dashboard: http://127\.0\.0\.1:[0-9]*/ ' "$work/out" || fail "no dashboard address printed"
url=$(sed -n 's/^dashboard: \(http[^ ]*\) .*/\1/p' "$work/out")
curl -sf "$url" | grep -q 'dashboard.js' || fail "no dashboard page at '$url'"
wait_for 180 grep -q '^POST /ingest -> 200' "$demo/api.log" || fail "no upload reached the API: $(cat "$work/out")"
[ "$(ps -o pgid= -p "$demo_pid" | tr -d ' ')" = "$demo_pid" ] || fail "the demo is not in a process group of its own"

kill -INT -- -"$demo_pid"
started=$SECONDS
if wait_for 10 stopped; then
  wait "$demo_pid"
  echo "the demo returned $? after $((SECONDS - started)) s"
else
  fail "the demo was still running 10 s after Ctrl+C"
fi
wait_for 3 nothing_left || fail "left running after Ctrl+C: $(ps -o pid=,args= -p "$(leftovers | paste -sd,)")"

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
