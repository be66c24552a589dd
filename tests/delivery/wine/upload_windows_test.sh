#!/usr/bin/env bash
# The whole delivery path under Wine against the local web API: the Windows program uploads a
# real outbox through everything a server can do wrong; this script kills the server in the
# middle of the last run, starts it again ten seconds later, and checks from what it stored that
# every record arrived, in order.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api || finish
credential=$(api_new_credential)
agent=$(jq -r .agentId <<<"$credential")
OSTRIVEL_TEST_API_URL="$API_URL" OSTRIVEL_TEST_CREDENTIAL=$(jq -r .secret <<<"$credential") \
  OSTRIVEL_TEST_AGENT_ID="$agent" \
  wine "$OSTRIVEL_BUILD_DIR/tests/delivery/delivery_windows_tests.exe" >"$WORK/out" 2>&1 </dev/null &
program=$!

# The last run begins once 42 records are stored; the server dies when it has 20 of that run's.
stored_count() { ls "$API_STATE/records/$agent/" 2>/dev/null | wc -l; }
last_run_going() { [ "$(stored_count)" -ge 62 ]; }
wait_for 240 last_run_going || fail "the last run never got going"
stop_api
echo "server stopped after $(stored_count) records"
sleep 10
restart_api

wait "$program"
RC=$?
expect_eq "$RC" 0 "exit code of delivery_windows_tests"
expect_contains "$WORK/out" "[  PASSED  ] 1 test."
# A record the server stored just before it died may come again; none may be missing, the first
# arrival of each is in order, and they are stored for the credential's agent as they were sent.
numbers=$(api_stored_records "$agent" | jq -r .n)
expect_eq "$(awk '!seen[$0]++' <<<"$numbers" | paste -sd, -)" "$(seq -s, 1 102)" "first arrivals of the records"
[ "$(wc -l <<<"$numbers")" -le 103 ] || fail "more than the one record in flight came twice: $numbers"
first=$(ls "$API_STATE/records/$agent/"*.json | sort | head -n 1)
expect_eq "$(sed -n 2p "$first")" $'\t"apps": {' "the first record's bytes"
finish
