#!/usr/bin/env bash
# An outbox that cannot be written: "-run" warns that the record was not queued, keeps sampling,
# and once the outbox can be written again its next records are written and delivered.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api --auto-approve --cadence 1 || finish
export OSTRIVEL_API_URL="$API_URL"
wine "$AGENT_EXE" -run >"$WORK/out" 2>"$WORK/err" </dev/null &
AGENT_PID=$!
agent_says() { grep -qE -- "$1" "$WORK/out"; }

# Enrolment leaves ten seconds: the guard has run, and the outbox is not yet written. A file now
# stands where the outbox folder belongs, so no record can be queued.
wait_for 30 agent_says '\[initializer\] registration started' || fail "enrolment did not start"
rm -rf "$DATA_UNIX/outbox"
: >"$DATA_UNIX/outbox"
wait_for 60 agent_says '\[warn\] \[service\] events[0-9]{14} not queued, the outbox write failed' ||
  fail "no warning for the record that could not be queued"

# The outbox comes back; sampling went on, and the first sample's record gets through.
rm -f "$DATA_UNIX/outbox"
wait_for 120 agent_says '\[uploader\] days[0-9]{12}\.json -> ok' || fail "no days record was delivered afterwards"
kill -0 "$AGENT_PID" 2>/dev/null || fail "the agent is gone"
expect_not_contains "$WORK/out" "drain crashed"
api_records | jq -e '[.[] | .body | fromjson? | select(.kind == "days")] | length > 0' >/dev/null ||
  fail "the server has no days record"
if grep -rqF -- "osv_" "$DATA_UNIX/logs" "$WORK/out" "$WORK/err"; then fail "a credential was written to a log"; fi

finish
