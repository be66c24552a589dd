#!/usr/bin/env bash
# The whole agent under Wine against the local web API, one prefix and one API throughout.
# The first "-run" enrols without typing and delivers (the local API takes session tokens only).
# Then "-run" is killed outright at 50 random moments: after every kill each file in outbox and
# history parses; at the end no temporary file was ever sent, every record the server accepted is
# in history, and nothing in history was not accepted as it is there.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

KILLS=${OSTRIVEL_KILLS:-50}
start_api --auto-approve --cadence 1 || finish
export OSTRIVEL_API_URL="$API_URL"
keep_wine_running  # one wineserver for every run, so a start takes a moment, not seconds

start_agent() { wine "$AGENT_EXE" -run >>"$WORK/out" 2>>"$WORK/err" </dev/null & AGENT_PID=$!; }
kill_agent() { kill -9 "$AGENT_PID" 2>/dev/null; wait "$AGENT_PID" 2>/dev/null; }
records_in() { ls "$DATA_UNIX/$1"/*.json 2>/dev/null; }
server_has() { api_records | jq -e "[.[] | .body | fromjson? | $1] | any" >/dev/null; }

# check_files WHEN: every record file parses. (identity.json takes the same atomic write, which
# the infra tests kill at every moment.)
check_files() {
  local files
  files=$( { records_in outbox; records_in history; } | tr '\n' ' ')
  if [ -n "$files" ] && ! jq empty $files 2>"$WORK/jq-errors"; then
    fail "$1: a record file does not parse: $(cat "$WORK/jq-errors")"
  fi
}

start_agent
wait_for 120 server_has 'select(.kind == "days") | .apps | length > 0' || fail "no days record naming an application"

expect_not_contains "$WORK/out" "drain crashed"
kill_agent
check_files "kill 1"

for kill in $(seq 2 "$KILLS"); do
  start_agent
  # Anywhere from the start-up (guard, credential, first writes) to uploads in full swing.
  sleep "$((RANDOM % 3)).$((RANDOM % 10))"
  kill_agent
  check_files "kill $kill"
done

# A last run delivers what is left, then is killed like the others.
start_agent
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

# No credential ever reaches a log.
if grep -rqF -- "osv_" "$DATA_UNIX/logs" "$WORK/out" "$WORK/err"; then fail "a credential was written to a log"; fi

finish
