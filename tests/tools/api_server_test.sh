#!/usr/bin/env bash
# The local web API driven over HTTP as the Wine tests drive it: enrolment, exchange, ingest,
# refusals, scripted answers and the request list (the upload Wine test restarts it over its state).
set -uo pipefail
api_exe=$1
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
trap 'kill $api_pid 2>/dev/null; rm -rf "$work"' EXIT

"$api_exe" --state "$work/state" --port 0 --cadence 5 --delete >"$work/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 50); do grep -qs '^listening on ' "$work/api.log" && break; sleep 0.1; done
base="http://127.0.0.1:$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/api.log")"

# "{name}" in a path, body or expected part stands for what an earlier answer held under that name.
declare -A held=([sessionJwt]=)
fill() {
  local text=$1 name
  for name in "${!held[@]}"; do text=${text//"{$name}"/${held[$name]}}; done
  printf '%s' "$text"
}
# step METHOD PATH BODY STATUS PART: a request carrying the session last handed out; PART is a part
# of the answer expected.
step() {
  local path body answer status name value
  path=$(fill "$2")
  body=$(fill "$3")
  answer=$(curl -s -X "$1" "$base$path" -H "Authorization: Bearer ${held[sessionJwt]}" -H 'Content-Type: application/json' \
    --data-binary "$body" -w '\n%{http_code}')
  status=${answer##*$'\n'}
  answer=${answer%$'\n'*}
  [ "$status" = "$4" ] || fail "$1 $path ${body:0:80}: status $status, expected $4"
  [[ "$answer" == *"$(fill "$5")"* ]] || fail "$1 $path: '$answer' lacks '$(fill "$5")'"
  for name in nonce secret agentId sessionJwt; do
    value=$(jq -r "objects | .$name | strings" <<<"$answer" 2>/dev/null)
    [ -n "$value" ] && held[$name]=$value
  done
}

record=$'{"kind":"days",\n\t"x":"\xc3\xa9"}'
exchange='{"serviceAccountToken":"{secret}"}'
step POST /register '{"computerName":"PC-1"}' 200 nonce
step GET '/register/{nonce}' '' 202 ''
step POST /admin/approve '{"nonce":"{nonce}"}' 200 approved
step GET '/register/{nonce}' '' 200 '"secret":"osv_'
step DELETE '/register/{nonce}' '' 200 ''
step POST /serviceAccountToken '{"serviceAccountToken":"osv_unknown"}' 401 ''
step POST /serviceAccountToken "$exchange" 200 sessionJwt
step POST /ingest "$record" 200 '{"cadenceMinutes":5,"delete":true,"ok":true,"record":"000001.json"}'
step GET /admin/records '' 200 "$(printf '%s' "$record" | jq -Rs .)"
step POST /admin/expireSessions '' 200 ''
step POST /ingest '{}' 401 '{"error":"session expired"}'
step POST /serviceAccountToken "$exchange" 200 sessionJwt
# Scripted answers come first; one with a delay only holds the real answer back.
step POST /admin/script '{"path":"ingest","answers":[{"status":503,"count":2},{"status":200,"bodyBytes":4},
  {"delayMs":1}]}' 200 ''
step POST /ingest '{}' 503 ''
step POST /ingest '{}' 503 ''
step POST /ingest '{}' 200 0123
step POST /ingest '{}' 200 000002.json
step GET '/admin/received?path=ingest' '' 200 '"Authorization":"Bearer {sessionJwt}"'
# A revoked credential is refused at the exchange; a PC that says which agent it was keeps it.
step POST /admin/revoke '{"agentId":"{agentId}"}' 200 '"matched":1'
step POST /serviceAccountToken "$exchange" 403 '{"error":"revoked"}'
step POST /admin/options '{"autoApprove":true}' 200 ''
step POST /register '{"computerName":"PC-1","previousAgentId":"{agentId}"}' 200 nonce
step GET '/register/{nonce}' '' 202 ''
step GET '/register/{nonce}' '' 200 '{"agentId":"{agentId}","secret":"osv_'

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
