#!/usr/bin/env bash
# A stop reaches the service wherever it waits: enrolling, backing off after failed uploads,
# in the middle of an upload the server holds for 10 s, or of one whose answer trickles in a byte
# every 5 s (no time-out ever fires; only the stop ends it). Each ends within 20 s. An uninstall
# while an upload is held leaves nothing of the data folder behind.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api || finish  # no auto-approval: enrolment waits
set_machine_env OSTRIVEL_API_URL "$API_URL"
keep_wine_running

service_state() { wine sc query Ostrivel 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
service_is() { [ "$(service_state)" = "$1" ]; }
log_says() { grep -qF -- "$1" "$DATA_UNIX/logs/service/"*.log 2>/dev/null; }
stop_within_20s() {
  local started=$SECONDS
  run_agent -stop
  expect_eq "$RC" 0 "exit code of -stop ($1)"
  wait_for 20 service_is STOPPED || fail "the service did not stop within 20 s while $1 (state $(service_state))"
  echo "stopped within $((SECONDS - started)) s while $1"
}

run_agent -install
expect_eq "$RC" 0 "exit code of -install"
wait_for 30 log_says "[initializer] polling the registration claim" || fail "enrolment did not begin"
stop_within_20s "enrolling"

# Approve, then make every upload fail: the uploader backs off.
api_approve >/dev/null
api_script ingest '[{"status":503,"count":1000}]'
wine sc start Ostrivel >/dev/null 2>&1
wait_for 60 log_says "-> 503, retry in" || fail "the uploader never backed off"
stop_within_20s "backing off"

# An upload the server holds for 10 s.
api_admin DELETE script >/dev/null
api_script ingest '[{"delayMs":10000,"count":1000}]'
wine sc start Ostrivel >/dev/null 2>&1
wait_for 60 log_says "[service] pipeline starting" || fail "the pipeline did not start again"
sleep 4  # the first sample's partial record is queued within about 3 s and its upload is held
stop_within_20s "an upload is held by the server"

api_admin DELETE script >/dev/null
api_script ingest '[{"status":200,"bodyBytes":1000,"trickleMs":5000,"count":1000}]'
api_admin DELETE received >/dev/null
wine sc start Ostrivel >/dev/null 2>&1
upload_in_hand() { [ "$(api_received ingest | jq length)" -ge 1 ]; }
wait_for 60 upload_in_hand || fail "no upload reached the server"
sleep 6  # a byte or two of the answer is in
stop_within_20s "an answer trickles in"

# -uninstall while an upload is held: the service stops before the sweep, so nothing it writes on
# its way out (the open bucket, the "stopped" event, the upload moved to history) brings the data
# folder back.
api_admin DELETE script >/dev/null
api_script ingest '[{"delayMs":6000,"count":1000}]'
starts=$(cat "$DATA_UNIX/logs/service/"*.log | grep -cF "[service] pipeline starting")
wine sc start Ostrivel >/dev/null 2>&1
started_again() { [ "$(cat "$DATA_UNIX/logs/service/"*.log | grep -cF "[service] pipeline starting")" -gt "$starts" ]; }
wait_for 60 started_again || fail "the pipeline did not start again"
sleep 4
run_agent -uninstall
expect_eq "$RC" 0 "exit code of -uninstall"
sleep 8  # longer than the held upload: a service still running would have written by now
[ ! -e "$DATA_UNIX" ] || fail "the data folder came back after -uninstall: $(cd "$DATA_UNIX" && find . | head)"
finish
