#!/usr/bin/env bash
# Delivery under faults, against the local web API: a hundred 503s then recovery, a server that
# dies mid-run and comes back ten seconds later, an answer 10 s late and one past the 15 s
# time-out. The Windows program drives the uploader; this script scripts, kills and restarts the
# server and checks, from what the server stored, that every record arrived, in order.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

PROGRAM="$OSTRIVEL_BUILD_DIR/tests/delivery/delivery_faults_windows_tests.exe"
start_api || finish
export OSTRIVEL_TEST_API_URL="$API_URL"

# run_case NAME: runs one test of the program in the background, as an agent of its own (so its
# records are a folder of their own at the server); its output in $WORK/NAME.out.
run_case() {
  local credential
  credential=$(api_new_credential)
  AGENT=$(jq -r .agentId <<<"$credential")
  api_admin DELETE received >/dev/null
  OSTRIVEL_TEST_CREDENTIAL=$(jq -r .secret <<<"$credential") OSTRIVEL_TEST_AGENT_ID=$AGENT \
    wine "$PROGRAM" --gtest_filter="UploadFaults.$1" >"$WORK/$1.out" 2>&1 </dev/null &
  CASE_PID=$!
}
# end_case NAME: waits for it and checks it passed.
end_case() {
  wait "$CASE_PID"
  local rc=$?
  expect_eq "$rc" 0 "exit code of $1"
  expect_contains "$WORK/$1.out" "[  PASSED  ] 1 test."
}
stored_numbers() { api_stored_records "$AGENT" | jq -r .n | paste -sd, -; }
stored_count() { ls "$API_STATE/records/$AGENT/" 2>/dev/null | wc -l; }

run_case AHundred503sThenRecoveryDeliverEveryFileOnceInOrder
end_case AHundred503sThenRecoveryDeliverEveryFileOnceInOrder
expect_eq "$(stored_numbers)" "$(seq -s, 1 30)" "records stored after the 503 run"
expect_eq "$(api_received ingest | jq '[.[] | select(.status == 503)] | length')" 100 "503 answers"
expect_eq "$(api_received ingest | jq '[.[] | select(.status == 200)] | length')" 30 "200 answers"

# The server dies once it has stored a third of the records, and is back ten seconds later.
# Until then each answer takes a tenth of a second, so the kill falls mid-run.
api_script ingest '[{"delayMs":100,"count":60}]'
run_case AServerThatStopsAndComesBackLosesNothing
a_third_stored() { [ "$(stored_count)" -ge 20 ]; }
wait_for 60 a_third_stored || fail "the uploader never got going"
stop_api
echo "server stopped after $(stored_count) records"
sleep 10
restart_api
end_case AServerThatStopsAndComesBackLosesNothing
numbers=$(stored_numbers)
# A record the server stored just before it died may come again; none may be missing, and the
# first arrival of each is in order.
expect_eq "$(tr , '\n' <<<"$numbers" | awk '!seen[$0]++' | paste -sd, -)" "$(seq -s, 1 60)" \
  "records stored across the restart, first arrivals"
echo "stored across the restart: $(tr , '\n' <<<"$numbers" | wc -l) records for 60 files"
[ "$(tr , '\n' <<<"$numbers" | wc -l)" -le 61 ] || fail "more than the one record in flight came twice: $numbers"

run_case AnAnswerWithinTheTimeOutIsTakenALaterOneRetried
end_case AnAnswerWithinTheTimeOutIsTakenALaterOneRetried
expect_eq "$(stored_numbers)" "1,2" "records stored around the late answers"
# The late answer is listed when it finally leaves, after the agent has gone on.
three_listed() { [ "$(api_received ingest | jq length)" -ge 3 ]; }
wait_for 10 three_listed
expect_eq "$(api_received ingest | jq -c '[.[] | .status]')" "[200,200,200]" "answers to the three uploads"

for out in "$WORK"/*.out; do
  if grep -qF -- "osv_" "$out"; then fail "$(basename "$out") holds a credential"; fi
done
finish
