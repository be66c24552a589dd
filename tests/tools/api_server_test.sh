#!/usr/bin/env bash
# The local web API's dashboard in a real browser (Debian's chromium, headless) over a fixed day
# of records (its enrolment, exchange, ingest, scripted answers and restarts are what every Wine
# test drives):
# one chart series per top application, CPU minutes with each bucket counted once from its latest
# record, markup from the records shown as text, no request beyond the API.
set -uo pipefail
api_exe=$1
work=$(mktemp -d)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
trap 'kill $api_pid 2>/dev/null; rm -rf "$work"' EXIT
command -v chromium >/dev/null || { echo "FAIL: chromium is not installed (tools/setup.sh installs it)" >&2; exit 1; }

"$api_exe" --state "$work/state" --port 0 >"$work/api.log" 2>&1 &
api_pid=$!
for _ in $(seq 50); do grep -qs '^listening on ' "$work/api.log" && break; sleep 0.1; done
base="http://127.0.0.1:$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/api.log")"
secret=$(curl -s -X POST "$base/admin/credential" -d '{"agentId":"pc-1"}' | jq -r .secret)
session=$(curl -s -X POST "$base/serviceAccountToken" -d "{\"serviceAccountToken\":\"$secret\"}" | jq -r .sessionJwt)
upload() { curl -sf -o /dev/null "$base/ingest" -H "Authorization: Bearer $session" --data-binary "$1" || fail "$1"; }
days() {  # days START_MINUTE END_MINUTE SAMPLES APPS_JSON, on 2026-01-05 UTC
  upload "{\"kind\":\"days\",\"date\":\"20260105\",\"start\":$((1767571200000 + $1 * 60000)),\
\"end\":$((1767571200000 + $2 * 60000)),\"samples\":$3,\"apps\":$4,\"services\":{},\"tz\":0}"
}
hostile='<script>alert(1)</script>'
upload "{\"kind\":\"apps\",\"date\":\"20260105\",\"tz\":0,\"apps\":{\"$hostile\":{\"description\":\"<b>bold</b>\",\
\"path\":\"C:\\\\x\\\\<img src=/leak>.exe\"}}}"
days 0 5 5 '{"chrome":50}'  # a partial record of the first bucket, then its final one
days 0 10 10 "{\"chrome\":30,\"$hostile\":20,\"code\":10,\"outlook\":6,\"teams\":5,\"explorer\":4,\"zoom\":2,\
\"notepad\":1}"
days 10 20 10 '{"chrome":10,"code":20,"teams":1}'

timeout 60 chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/profile" --log-net-log="$work/net.json" \
  --virtual-time-budget=5000 --dump-dom "$base/?agent=pc-1&date=20260105" >"$work/dom.html" 2>/dev/null
grep -q 'data-rendered="1"' "$work/dom.html" || fail "the page did not render: $(head -c 2000 "$work/dom.html")"
# Top six by CPU minutes, then "other" (zoom and notepad).
[ "$(grep -o '<g class="series' "$work/dom.html" | wc -l)" = 7 ] || fail "not 7 chart series"
rows=$(grep -o '<td class="app">[^<]*</td><td class="minutes">[^<]*</td>' "$work/dom.html" |
  sed 's/<td class="app">//; s/<\/td><td class="minutes">/=/; s/<\/td>//' | paste -sd ' ')
expected="chrome=4.00 code=3.00 &lt;script&gt;alert(1)&lt;/script&gt;=2.00 outlook=0.60 teams=0.60 explorer=0.40 \
zoom=0.20 notepad=0.10"
[ "$rows" = "$expected" ] || fail "CPU minutes: expected '$expected', got '$rows'"
grep -qF '<td>&lt;b&gt;bold&lt;/b&gt;</td>' "$work/dom.html" || fail "the description is not shown as text"
[ "$(grep -o '<script' "$work/dom.html" | wc -l)" = 1 ] || fail "markup from the records became a script element"
grep -q '<img' "$work/dom.html" && fail "markup from the records became an image element"
# Every request of the page (its top frame being the API's) went to the API.
urls=$(jq -r '(.constants.logEventTypes.URL_REQUEST_START_JOB) as $start | .events[] | select(.type == $start and
  ((.params.network_isolation_key // "") | startswith("http://127.0.0.1 "))) | .params.url' "$work/net.json")
grep -q "^$base/admin/day" <<<"$urls" || fail "the net log shows no request of the page for the day"
grep -v "^$base/" <<<"$urls" && fail "requests beyond the API (above)"

[ $failures -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
