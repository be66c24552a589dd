#!/usr/bin/env bash
# The whole delivery path under Wine against the local web API: the Windows program uploads a
# real outbox through storms and session refreshes; the server's lists prove what arrived.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api || finish
credential=$(api_new_credential)
agent=$(jq -r .agentId <<<"$credential")

OSTRIVEL_TEST_API_URL="$API_URL" OSTRIVEL_TEST_CREDENTIAL=$(jq -r .secret <<<"$credential") \
  OSTRIVEL_TEST_AGENT_ID="$agent" \
  wine "$OSTRIVEL_BUILD_DIR/tests/delivery/delivery_windows_tests.exe" >"$WORK/out" 2>&1 </dev/null
RC=$?
expect_eq "$RC" 0 "exit code of delivery_windows_tests"
expect_contains "$WORK/out" "[  PASSED  ] 1 test."
if [ "$RC" -ne 0 ]; then sed 's/^/    | /' "$WORK/out" >&2; fi

# Each file exactly once, in order, stored for the credential's agent as it was sent.
records=$(api_records)
expect_eq "$(jq -r '[.[].body | fromjson | .n] | map(tostring) | join(",")' <<<"$records")" "$(seq -s, 1 40)" \
  "record numbers in the order stored"
expect_eq "$(jq -r '[.[].agentId] | unique | join(",")' <<<"$records")" "$agent" "agent of the records"
expect_eq "$(jq -r '.[0].body' <<<"$records" | head -n 2 | tail -n 1)" $'\t"apps": {' "the first record's bytes"

# What the server answered: the storms, the two refusals and one exchange after each (the first
# exchange answered with deep brackets, the second one taken).
ingest=$(api_received ingest)
expect_eq "$(jq '[.[] | select(.status == 503)] | length' <<<"$ingest")" 7 "503 answers"
expect_eq "$(jq '[.[] | select(.status == 401)] | length' <<<"$ingest")" 2 "401 answers"
expect_eq "$(jq '[.[] | select(.status == 200)] | length' <<<"$ingest")" 40 "200 answers"
expect_eq "$(jq '[.[] | select(.headers["Content-Type"] != "application/json")] | length' <<<"$ingest")" 0 \
  "uploads without the JSON content type"
expect_eq "$(api_received serviceAccountToken | jq -c '[.[].status]')" "[200,200,200,200]" "session exchanges"
expect_eq "$(api_received serviceAccountToken | jq '[.[] | select(.headers.Authorization)] | length')" 0 \
  "exchanges carrying an Authorization header"

finish
