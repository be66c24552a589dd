#!/usr/bin/env bash
# The local web API as a program: a free port printed first, one line per request, a clean stop
# on SIGTERM, and the usage for bad arguments.
set -uo pipefail
exe=$1
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$exe" --port 0 >/dev/null 2>&1
[ $? -eq 2 ] || fail "no --state should give the usage and exit code 2"
"$exe" --state "$work/s" --cadence 3x >/dev/null 2>&1
[ $? -eq 2 ] || fail "a bad --cadence should give the usage and exit code 2"

"$exe" --state "$work/s" --port 0 --auto-approve >"$work/log" 2>&1 &
pid=$!
for _ in $(seq 50); do grep -q '^listening on ' "$work/log" && break; sleep 0.1; done
port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$work/log")
[ -n "$port" ] || fail "no 'listening on 127.0.0.1:PORT' line: $(cat "$work/log")"
nonce=$(curl -s -X POST "http://127.0.0.1:$port/register" -d '{"computerName":"PC"}' | jq -r .nonce)
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/register/$nonce")" = 202 ] || fail "first poll"
[ "$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port/register/$nonce")" = 200 ] || fail "second poll"
grep -q "^GET /register/$nonce -> 200 " "$work/log" || fail "no request line: $(cat "$work/log")"
# Only loopback: the port is not open on any other address of the machine.
if ss -ltn 2>/dev/null | grep -q ":$port "; then
  ss -ltn | grep ":$port " | grep -q '127.0.0.1:' || fail "listening beyond loopback"
fi
kill -TERM $pid
wait $pid
[ $? -eq 0 ] || fail "SIGTERM should stop it with exit code 0"
[ -f "$work/s/state.json" ] || fail "no state.json in the state folder"

rm -rf "$work"
[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
