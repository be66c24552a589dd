#!/usr/bin/env bash
# The dashboard in a real browser (Debian's chromium, headless) against a local web API holding a
# fixed day of records: one chart series per top application, CPU minutes as the records add up,
# an application name made of markup shown as text, and no request beyond the API.
set -uo pipefail
api_exe=$1
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
api_pid=""
cleanup() {
  if [ -n "$api_pid" ]; then kill "$api_pid" 2>/dev/null; wait "$api_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

if ! command -v chromium >/dev/null; then
  echo "FAIL: chromium is not installed (bash tools/setup.sh installs it)" >&2
  exit 1
fi

"$api_exe" --state "$work/state" --port 0 >"$work/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 50); do grep -q '^listening on ' "$work/api.log" && break; sleep 0.1; done
base="http://127.0.0.1:$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/api.log")"

secret=$(curl -s -X POST "$base/admin/credential" -d '{"agentId":"pc-1","name":"Front desk"}' | jq -r .secret)
session=$(curl -s -X POST "$base/serviceAccountToken" -d "{\"serviceAccountToken\":\"$secret\"}" | jq -r .sessionJwt)
upload() {
  local status
  status=$(curl -s -o /dev/null -w '%{http_code}' -X POST "$base/ingest" -H "Authorization: Bearer $session" \
    --data-binary "$1")
  [ "$status" = 200 ] || fail "upload answered $status: $1"
}
day=1767571200000  # 2026-01-05 00:00 UTC
days() {  # days START_MINUTE END_MINUTE SAMPLES APPS_JSON
  upload "{\"kind\":\"days\",\"date\":\"20260105\",\"start\":$((day + $1 * 60000)),\"end\":$((day + $2 * 60000)),\
\"samples\":$3,\"apps\":$4,\"services\":{},\"tz\":0}"
}
upload '{"kind":"apps","date":"20260105","tz":0,"apps":{"chrome":{"product":"Google Chrome","company":"Google LLC",
  "version":"120.0","path":"C:\\Program Files\\Google\\Chrome\\chrome.exe"},
  "<script>alert(1)</script>":{"description":"<b>bold</b>","path":"C:\\x\\<img src=/leak>.exe"}}}'
# A partial record of the first bucket, then its final record: only the final one counts.
days 0 5 5 '{"chrome":50}'
days 0 10 10 '{"chrome":30,"<script>alert(1)</script>":20,"code":10,"outlook":6,"teams":5,"explorer":4,"zoom":2,
  "notepad":1}'
days 10 20 10 '{"chrome":10,"code":20,"teams":1}'
upload "{\"kind\":\"events\",\"date\":\"20260105\",\"tz\":0,\"events\":[{\"at\":$((day + 60000)),\"kind\":\"started\"}]}"
upload "{\"kind\":\"events\",\"date\":\"20260105\",\"tz\":0,\"events\":[{\"at\":$((day + 900000)),\"kind\":\"lock\"}]}"

timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync --user-data-dir="$work/profile" \
  --log-net-log="$work/net.json" --virtual-time-budget=5000 --dump-dom "$base/?agent=pc-1&date=20260105" \
  >"$work/dom.html" 2>"$work/chromium.log"
grep -q 'data-rendered="1"' "$work/dom.html" || fail "the page did not finish rendering: $(head -c 2000 "$work/dom.html")"

# Top six by CPU minutes, then "other" (zoom and notepad).
series=$(grep -o '<g class="series' "$work/dom.html" | wc -l)
[ "$series" -eq 7 ] || fail "chart series: expected 7, got $series"
legend=$(grep -o '<li class="series"><span class="swatch [a-z0-9]*"></span>[^<]*</li>' "$work/dom.html" |
  sed 's/.*<\/span>//; s/<\/li>//' | paste -sd '|')
[ "$legend" = "chrome|code|&lt;script&gt;alert(1)&lt;/script&gt;|outlook|teams|explorer|other" ] ||
  fail "legend: $legend"

# chrome 30% of 10 min + 10% of 10 min, code 10% + 20%, the hostile one 20%, teams 5% + 1%, ...
rows=$(grep -o '<td class="app">[^<]*</td><td class="minutes">[^<]*</td>' "$work/dom.html" |
  sed 's/<td class="app">//; s/<\/td><td class="minutes">/=/; s/<\/td>//' | paste -sd ' ')
expected="chrome=4.00 code=3.00 &lt;script&gt;alert(1)&lt;/script&gt;=2.00 outlook=0.60 teams=0.60 explorer=0.40 \
zoom=0.20 notepad=0.10"
[ "$rows" = "$expected" ] || fail "CPU minutes: expected '$expected', got '$rows'"
grep -qF '<td>&lt;b&gt;bold&lt;/b&gt;</td>' "$work/dom.html" || fail "the description is not shown as text"
scripts=$(grep -o '<script' "$work/dom.html" | wc -l)
[ "$scripts" -eq 1 ] || fail "markup from the records became elements: $scripts script elements"
grep -q '<img' "$work/dom.html" && fail "markup from the records became an image element"
events=$(grep -o '<g class="event">' "$work/dom.html" | wc -l)
[ "$events" -eq 2 ] || fail "events on the chart: expected 2, got $events"

# Every request the page made (its top frame being the API's) went to the API.
page_urls=$(jq -r '(.constants.logEventTypes.URL_REQUEST_START_JOB) as $start | .events[] |
  select(.type == $start and ((.params.network_isolation_key // "") | startswith("http://127.0.0.1 "))) |
  .params.url' "$work/net.json" | sort -u)
[ -n "$page_urls" ] || fail "the net log shows no request of the page"
outside=$(grep -v "^$base/" <<<"$page_urls")
[ -z "$outside" ] || fail "requests beyond the API: $outside"
grep -q '^GET /admin/day ' "$work/api.log" || fail "the page did not ask for the day: $(cat "$work/api.log")"
grep -q '/leak' "$work/api.log" && fail "a path from the records was requested"

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
