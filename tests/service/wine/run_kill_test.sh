#!/usr/bin/env bash
# "-run" killed at 50 random moments (the Windows process killed outright, no graceful stop)
# against the local web API. After every kill: each file in outbox and history parses as JSON and
# identity.json is whole. At the end: no temporary file was ever sent, every record the server
# accepted is in history (or was removed on its "delete"), and nothing in history was not
# accepted as it is there. The first run enrols and lives until its first sample is delivered.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

KILLS=${OSTRIVEL_KILLS:-50}
start_api --auto-approve --cadence 1 || finish
export OSTRIVEL_API_URL="$API_URL"
keep_wine_running  # one wineserver for every run, so a start takes a moment, not seconds

start_agent() {
  echo "=== run $1" >>"$WORK/out"
  wine "$AGENT_EXE" -run >>"$WORK/out" 2>>"$WORK/err" </dev/null &
  AGENT_PID=$!
}
kill_agent() {
  kill -9 "$AGENT_PID" 2>/dev/null
  wait "$AGENT_PID" 2>/dev/null
}
agent_says() { grep -qF -- "$1" "$WORK/out"; }
records_in() { ls "$DATA_UNIX/$1"/*.json 2>/dev/null; }

# check_files WHEN: every record file parses; identity.json, once there, is whole.
check_files() {
  local files
  files=$( { records_in outbox; records_in history; } | tr '\n' ' ')
  if [ -n "$files" ] && ! jq empty $files 2>"$WORK/jq-errors"; then
    fail "$1: a record file does not parse: $(cat "$WORK/jq-errors")"
  fi
  if [ -e "$DATA_UNIX/identity.json" ] &&
     ! jq -e '.environment == "prd" and (.id | length > 0) and (.token | startswith("osv_"))' \
       "$DATA_UNIX/identity.json" >/dev/null 2>&1; then
    fail "$1: identity.json is not whole ($(wc -c <"$DATA_UNIX/identity.json") bytes)"
  fi
}

# Enrolment and a first sample: the history then holds days, apps and events records.
start_agent 1
wait_for 60 agent_says "[service] pipeline starting" || fail "the first run did not enrol"
wait_for 90 grep -qE '\[uploader\] days[0-9]+\.json -> ok' "$WORK/out" || fail "no days record was delivered"
sleep "0.$((RANDOM % 10))"
kill_agent
check_files "kill 1"

started=$SECONDS
for kill in $(seq 2 "$KILLS"); do
  # Ten runs in the middle meet a server that asks for delivered files to be deleted.
  if [ "$kill" -eq 21 ]; then api_admin POST options '{"delete":true}' >/dev/null; fi
  if [ "$kill" -eq 31 ]; then api_admin POST options '{"delete":false}' >/dev/null; fi
  start_agent "$kill"
  # Anywhere from the start-up (guard, credential, first writes) to uploads in full swing.
  sleep "$((RANDOM % 3)).$((RANDOM % 10))"
  kill_agent
  check_files "kill $kill"
done
echo "$((KILLS - 1)) random kills in $((SECONDS - started)) s"

# A last run delivers what is left, then is killed like the others.
start_agent final
outbox_empty() { [ -z "$(records_in outbox)" ]; }
wait_for 60 outbox_empty || fail "the outbox was not drained: $(records_in outbox | head -n 3)"
kill_agent
check_files "the final kill"

# Nothing partial ever left: every upload was a whole JSON object, none refused as malformed,
# and the uploader never named a temporary file.
ingest=$(api_received ingest)
expect_eq "$(jq '[.[] | select((.body | fromjson? | type) != "object")] | length' <<<"$ingest")" 0 \
  "uploads that were not a whole JSON object"
expect_eq "$(jq '[.[] | select(.status == 400)] | length' <<<"$ingest")" 0 "uploads refused as malformed"
if grep -F '[uploader]' "$WORK/out" | grep -qF '.tmp'; then fail "the uploader handled a temporary file"; fi

# Every file the agent saw accepted and kept is in history under its name; none is still queued.
record='[a-z]+[0-9]+(_[0-9]+)?\.json'  # a second record of one minute carries "_2" and so on
for name in $(grep -oE "\[uploader\] $record -> ok \(kept\)" "$WORK/out" | awk '{print $2}' | sort -u); do
  [ -f "$DATA_UNIX/history/$name" ] || fail "$name was accepted but is not in history"
done
# And every file in history holds bytes the server accepted: none corrupted, none moved unsent.
jq -c '[.[] | select(.status == 200) | .body] | unique | .[]' <<<"$ingest" >"$WORK/accepted"
for file in $(records_in history); do
  grep -qxF -- "$(jq -Rsc . "$file")" "$WORK/accepted" ||
    fail "$(basename "$file") in history was never accepted as it is"
done
deleted=$(grep -cE "\[uploader\] $record -> ok, sampling" "$WORK/out")
leftovers=$(ls "$DATA_UNIX"/outbox/*.tmp "$DATA_UNIX"/history/*.tmp "$DATA_UNIX"/*.tmp 2>/dev/null | wc -l)
echo "delivered: $(jq '[.[] | select(.status == 200)] | length' <<<"$ingest") uploads accepted," \
  "$(records_in history | wc -l) files in history, $deleted removed on the server's delete," \
  "$leftovers temporary files left by kills"
[ "$deleted" -gt 0 ] || fail "no run met the server's delete"

# The credential never reaches a log.
if grep -rqF -- "osv_" "$DATA_UNIX/logs" "$WORK/out" "$WORK/err"; then fail "a credential was written to a log"; fi

finish
