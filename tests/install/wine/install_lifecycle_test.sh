#!/usr/bin/env bash
# The service's whole life under Wine's service control manager, driven by the user verbs against
# the local web API: status; -install, then again from a folder outside the code page; enrolment;
# the logon check in the browser and as a balloon; a stop wherever the service waits (enrolling,
# running, an upload held by the server), each within 20 s, with the open bucket written;
# -uninstall while an upload is held, which leaves nothing behind.
# The balloon needs a display: the whole test runs under its own Xvfb.
if [ -z "${OSTRIVEL_UNDER_XVFB:-}" ]; then
  export OSTRIVEL_UNDER_XVFB=1
  exec xvfb-run -a bash "$0" "$@"
fi
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api || finish  # no auto-approval: enrolment waits
set_machine_env OSTRIVEL_API_URL "$API_URL"
export OSTRIVEL_APP_URL=https://app.test OSTRIVEL_SITE_URL=https://www.test
keep_wine_running
record_browser

log_says() { cat "$DATA_UNIX"/logs/service/*.log 2>/dev/null | grep -cF -- "$1"; }  # how many lines hold it
# The console's lines but warnings (Wine's access lists vary, and the data folder's guard warns of them).
output() { tr -d '\r' <"$WORK/out" | grep -v '^\[warn\]' | paste -sd '|'; }
# expect_verb OUTPUT ARGS...: exit code 0 and the console lines, joined by "|".
expect_verb() { local expected=$1; shift; run_agent "$@"; expect_eq "$RC $(output)" "0 $expected" "ostrivel $*"; }
opened() { grep -qxF -- "$1" "$OPENED_LINKS"; }
stop_within_20s() {
  expect_verb "[info] [ui] verb: -stop|[info] [ui] stopping the service|[info] [ui] service stopped" -stop
  wait_for 20 service_is STOPPED || fail "the service did not stop within 20 s while $1"
}
start_again() {  # start_again LOG_LINE: starts the service and waits for one more such line
  local line=$1 before
  before=$(log_says "$line")
  wine sc start Ostrivel >/dev/null 2>&1
  wait_for 60 eval '[ "$(log_says "$line")" -gt "$before" ]' || fail "no new '$line' after a start"
}
nothing_installed="[info] [ui] verb: status|[info] service:    not installed|[info] agent:      unregistered|\
[info] lastUpload: never"
uninstalled="[info] [ui] verb: -uninstall|[info] [ui] uninstalling the service and sweeping its footprint|\
[info] [ui] service uninstalled"
installed="[info] [ui] verb: -install|[info] [ui] installing the service|[info] [ui] service installed and started"

expect_verb "$uninstalled" -uninstall  # nothing to uninstall is no failure (status then shows at the end)

# Enrolling: the user is pointed at the register page of the registration waiting for approval.
expect_verb "$installed" -install
wait_for 30 eval '[ "$(log_says "[initializer] polling the registration claim")" -gt 0 ]' || fail "no enrolment"
nonce=$(api_admin GET registrations | jq -r '.[0].nonce')
expect_verb "[info] [ui] verb: status|[info] service:    running|[info] agent:      registering|\
[info] lastUpload: never|[info] pending:    registration waiting for approval" -STATUS
run_agent -check
expect_contains "$WORK/out" "[info] [check] opening browser: https://app.test/register/#$nonce"
wait_for 10 opened "https://app.test/register/#$nonce" || fail "the register page never reached the browser"
stop_within_20s "enrolling"

# Installed again from a second folder, whose name the ANSI code page cannot hold: service,
# autostart and event source move there, and the service starts from there.
second="$WORK/second Łódź 東京"
mkdir -p "$second"
cp "$AGENT_EXE" "$second/ostrivel.exe"
exe_win=$(winpath "$second/ostrivel.exe")
AGENT_EXE="$second/ostrivel.exe" expect_verb "$installed" -install
wait_for 20 service_is RUNNING || fail "the service is not running from the second folder"
expect_eq "$(reg_values "$SERVICE_KEY" | grep -E '^(Description|ImagePath|ObjectName|Start|Type)=' | paste -sd '|')" \
  "Description=Ostrivel usage agent - records per-app and per-service CPU minutes for this PC. Remove with \
'Ostrivel -uninstall' or the installer.|ImagePath=\"$exe_win\" -service|ObjectName=LocalSystem|\
Start=dword:00000002|Type=dword:00000010" "the service's configuration"
expect_eq "$(reg_value "$RUN_KEY" Ostrivel)" "\"$exe_win\" -check --silent" "autostart value"
expect_eq "$(reg_values "$SOURCE_KEY" | paste -sd '|')" "EventMessageFile=$exe_win|TypesSupported=dword:00000007" \
  "event source"

# Approved, the service enrols, uploads, and logs the API it uses. It set its failure actions (three
# restarts a minute apart) at its start: Wine keeps no FailureActions value, so only the absence of
# the warning shows that the call succeeded.
api_approve >/dev/null
started() { api_records | jq -e 'any(.[].body | fromjson? | select(.kind == "events"); .events[0].kind == "started")'; }
wait_for 90 started >/dev/null || fail "no record of the service reached the local web API"
expect_eq "$(log_says "[main] Ostrivel 2026.1.0.10 -> $API_URL") $(log_says "service recovery actions not set")" \
  "2 0" "[main] lines of both starts, and warnings that the failure actions were not set"

# Healthy: the interactive check opens today's page of this PC, the credential in the link but
# never in a log; a link the shell refuses (no program for its scheme) is logged without the link.
wait_for 30 eval 'reg_value "$SERVICE_KEY\\Parameters" AgentState | grep -qx ok' || fail "the agent is not ok"
token=$(jq -r .token "$DATA_UNIX/identity.json")
page="https://app.test/agent?day=$(date -u +%Y%m%d)&token="
run_agent -check
expect_contains "$WORK/out" "[info] [check] decision: healthy, opening ${page}********"
wait_for 10 opened "$page$token" || fail "today's page never reached the browser: $(cat "$OPENED_LINKS")"
grep -rqF -- "$token" "$DATA_UNIX/logs" "$WORK/out" "$WORK/err" && fail "the credential reached a log"
OSTRIVEL_APP_URL=ostrivel-nowhere://app run_agent -check
expect_contains "$WORK/out" "[warn] [ui] the shell did not open the link (code 31)"

# Silent and healthy at this user's first logon: the first-logon balloon, which ends on its own
# (our timer ends the toast 15 s after the icon is added; Wine then takes up to 2 s more to remove
# the icon, waiting for a window manager that Xvfb does not have). The next logon stays silent.
balloon_up() {  # Wine's balloon is a window of its explorer beside the tray, neither 1x1 nor the tray
  xwininfo -root -tree | grep -F '("explorer.exe" "explorer.exe")' | grep -qv -e ' 1x1+' -e '"Wine System Tray"'
}
now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
wine "$AGENT_EXE" -check --silent >"$WORK/out" 2>/dev/null </dev/null &
check_pid=$!
first="" last=""
while kill -0 $check_pid 2>/dev/null; do
  balloon_up && last=$(now_ms) && first=${first:-$last}
  sleep 0.2
done
wait $check_pid
expect_eq "$?" 0 "exit code of the silent check"
expect_contains "$WORK/out" "[info] [check] toast: Ostrivel is recording on this PC - It notes which apps use the \
processor, and when. It never sees your screen, your typing or the sites you visit. (https://www.test/data)"
[ -n "$first" ] || fail "no balloon window appeared"
[ $((last - first)) -le 15000 ] && [ $(($(now_ms) - first)) -le 18500 ] ||
  fail "the balloon was seen for $((last - first)) ms, the check returned $(($(now_ms) - first)) ms after it"
run_agent -check --silent
expect_eq "$(tr -d '\r' <"$WORK/out" | tail -n 1)" "[info] [check] decision: healthy, staying silent" "the next logon"

# "-service" typed in a console cannot reach the dispatcher, and starts nothing.
run_agent -service
expect_eq "$RC $(log_says "[main] Ostrivel")" "1 2" "exit code of -service in a console, and [main] lines"

# A stop writes the open bucket and a "stopped" event before the service ends: the flush closes
# the bucket at its last sample, the partial records before it ended 1 ms later.
stop_within_20s "running"
{ cat "$DATA_UNIX"/outbox/*.json "$DATA_UNIX"/history/*.json; api_records | jq -c '.[].body | fromjson?'; } 2>/dev/null |
  jq -se 'any(.[] | select(.kind == "events"); .events[0].kind == "stopped") and ([.[] | select(.kind == "days") |
    .end] as $ends | any($ends[]; . as $e | $ends | index($e + 1)))' >/dev/null ||
  fail "no \"stopped\" event, or the open bucket was not written at the stop"

# An upload the server holds for 10 s: WinHTTP's wait ends with the stop (an answer that trickles
# in is cut by the stop in the infra Wine test). The uploader's own waits, its back-off among
# them, are stop-aware in the platform-free code and tested there.
api_script ingest '[{"delayMs":10000,"count":1000}]'
start_again "[service] pipeline starting"
sleep 4  # the first sample's partial record is queued within about 3 s and its upload is held
stop_within_20s "an upload is held by the server"

# -uninstall while an upload is held: the service stops before the sweep, so nothing it writes on
# its way out (the open bucket, the "stopped" event, the upload moved to history) brings the data
# folder back. Only the user's "notice seen" flag stays.
api_admin DELETE script >/dev/null
api_script ingest '[{"delayMs":6000,"count":1000}]'
start_again "[service] pipeline starting"
sleep 4
expect_verb "$uninstalled" -uninstall
sleep 8  # longer than the held upload: a service still running would have written by now
[ ! -e "$DATA_UNIX" ] || fail "the data folder is still there after -uninstall: $(cd "$DATA_UNIX" && find . | head)"
expect_eq "$(reg_values "$RUN_KEY" | grep -c '^Ostrivel=')$(reg_values "$SOURCE_KEY")" "0" "autostart and event source"
expect_verb "$nothing_installed" status
expect_eq "$(reg_value 'HKCU\Software\Velbrook\Ostrivel' NoticeSeen)" 1 "NoticeSeen after the uninstall"
finish
