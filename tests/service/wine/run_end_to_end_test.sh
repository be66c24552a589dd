#!/usr/bin/env bash
# The whole agent under Wine: "-run" against the local web API enrols without typing, measures,
# uploads records with a session token, and enrols again when the credential is revoked.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api --auto-approve || finish
export OSTRIVEL_API_URL="$API_URL"

wine "$AGENT_EXE" -run >"$WORK/out" 2>"$WORK/err" </dev/null &
at_exit "wineserver -k"

agent_says() { grep -qF -- "$1" "$WORK/out"; }
records_of_kind() { api_records | jq -r --arg kind "$1" '.[] | .body | fromjson? | select(.kind == $kind) | .kind'; }
has_started_event() { api_records | jq -e '[.[] | .body | fromjson? | select(.kind == "events") | .events[0].kind] | index("started") != null' >/dev/null; }
has_days_with_app() { api_records | jq -e '[.[] | .body | fromjson? | select(.kind == "days") | (.apps | length)] | any(. > 0)' >/dev/null; }

# The first claim poll waits for the approval, then ten seconds: enrolment takes about that.
wait_for 60 agent_says "[service] pipeline starting" || fail "the pipeline did not start"
wait_for 30 has_started_event || fail "no events record with a \"started\" event reached the server"
wait_for 30 has_days_with_app || fail "no days record naming an application reached the server"

expect_contains "$WORK/out" "[info] [main] Ostrivel 2026.1.0.10 -> $API_URL"
for line in "[initializer] registration started" "[initializer] polling the registration claim" \
            "[initializer] registration claimed" "[initializer] agent ready" "[apis] serviceAccountToken ok"; do
  expect_contains "$WORK/out" "$line"
done
[ -f "$DATA_UNIX/identity.json" ] || fail "no identity.json in the data folder"
first_agent=$(jq -r .id "$DATA_UNIX/identity.json")
[ -n "$first_agent" ] || fail "identity.json holds no agent id"

# Every upload carried a session token from the exchange, never the credential itself.
bad_auth=$(api_received ingest | jq '[.[] | select(((.headers.Authorization // .headers.authorization) // "") | startswith("Bearer ") | not)] | length')
expect_eq "$bad_auth" 0 "ingest requests without a bearer session token"
credential=$(jq -r .token "$DATA_UNIX/identity.json")
if api_received ingest | grep -qF -- "$credential"; then fail "the credential itself was sent as a bearer token"; fi

params='HKLM\SYSTEM\CurrentControlSet\Services\Ostrivel\Parameters'
reg_value() { wine reg query "$params" /v "$1" 2>/dev/null | tr -d '\r' | awk -v name="$1" '$1 == name { print $3 }'; }
expect_eq "$(reg_value AgentState)" ok "AgentState"
reg_value LastUploadAt | grep -qE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$' ||
  fail "LastUploadAt is not a UTC stamp: '$(reg_value LastUploadAt)'"
ls "$DATA_UNIX/history/"*.json >/dev/null 2>&1 || fail "no delivered file in the history folder"

# The web account revokes the credential: the agent drops it and enrols again as the same PC.
api_admin POST revoke "{\"agentId\":\"$first_agent\"}" >/dev/null
api_admin POST expireSessions >/dev/null
wait_for 120 agent_says "[initializer] credential dropped, enrolment starts over" ||
  fail "the revoked credential was not dropped"
wait_for 60 bash -c "[ \$(grep -c 'pipeline starting' '$WORK/out') -ge 2 ]" || fail "the pipeline did not start again"
previous=$(api_admin GET registrations | jq -r '[.[] | .previousAgentId | select(. != null and . != "")] | last // empty')
expect_eq "$previous" "$first_agent" "previousAgentId of the second registration"

# No credential ever reaches a log.
if grep -rqF -- "osv_" "$DATA_UNIX/logs" "$WORK/out" "$WORK/err"; then fail "a credential was written to a log"; fi

finish
