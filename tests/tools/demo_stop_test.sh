#!/usr/bin/env bash
# The demo as a user runs it, stopped as a terminal's Ctrl+C stops it (SIGINT to its whole process
# group) once the first record has arrived: it returns within seconds and leaves nothing running,
# neither the agent nor any other Wine process of its prefix, nor the local web API.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"
demo="$WORK/demo"
# What is left of the demo: its process group, and anything running with its Wine prefix.
leftovers() {
  { pgrep -g "$demo_pid"; grep -lsz "^WINEPREFIX=$demo/prefix\$" /proc/[0-9]*/environ | cut -d/ -f3; } | sort -u
}
at_exit 'WINEPREFIX="$demo/prefix" wineserver -k; kill -KILL -- -$demo_pid'

# With job control the demo gets a process group of its own, as a terminal gives the command it
# runs, and SIGINT keeps its default (a script's plain background command would ignore it).
set -m
OSTRIVEL_DEMO_DIR="$demo" OSTRIVEL_DEMO_NATIVE_BUILD="$OSTRIVEL_NATIVE_BUILD_DIR" \
  OSTRIVEL_DEMO_WINDOWS_BUILD="$OSTRIVEL_BUILD_DIR" bash "$OSTRIVEL_SOURCE_DIR/tools/run-demo.sh" \
  >"$WORK/out" 2>&1 </dev/null &
demo_pid=$!
set +m
wait_for 20 grep -qs '^dashboard: http://127\.0\.0\.1:[0-9]*/ ' "$WORK/out" || fail "no dashboard address printed"
wait_for 180 grep -q '^POST /ingest -> 200' "$demo/api.log" || fail "no upload reached the API: $(cat "$WORK/out")"

kill -INT -- -"$demo_pid"
started=$SECONDS
stopped() { [ -z "$(ps -o stat= -p "$demo_pid" | grep -v Z)" ]; }  # a zombie until waited for
wait_for 10 stopped || fail "the demo was still running 10 s after Ctrl+C"
echo "the demo returned after $((SECONDS - started)) s"
nothing_left() { [ -z "$(leftovers)" ]; }
wait_for 3 nothing_left || fail "left running after Ctrl+C: $(ps -o pid=,args= -p "$(leftovers | paste -sd,)")"
finish
