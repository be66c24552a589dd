#!/usr/bin/env bash
# The user verbs under Wine against a stand-in "Ostrivel" service: the status report, the logon
# check in the browser and as a balloon, -stop and -uninstall. Argument: the stand-in's program.
# The balloon needs a display: the whole test runs under its own Xvfb, so Wine's desktop and
# notification area live there from the first Wine call on.
if [ -z "${OSTRIVEL_UNDER_XVFB:-}" ]; then
  export OSTRIVEL_UNDER_XVFB=1
  exec xvfb-run -a bash "$0" "$@"
fi
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

STAND_IN=$1
PARAMETERS='HKLM\SYSTEM\CurrentControlSet\Services\Ostrivel\Parameters'
USER_KEY='HKCU\Software\Velbrook\Ostrivel'
TOKEN=osv_WineTest-token_42
export OSTRIVEL_APP_URL=https://app.test OSTRIVEL_SITE_URL=https://www.test

# The console's lines without the CR that the Windows runtime puts before each line end.
output() { tr -d '\r' <"$WORK/out"; }
expect_output() {  # expect_output WHAT LINE...
  local what=$1
  shift
  expect_eq "$(output)" "$(printf '%s\n' "$@")" "$what"
}
opened() { grep -qxF -- "$1" "$OPENED_LINKS"; }

# Nothing installed, nothing recorded.
run_agent status
expect_eq "$RC" 0 "exit code of status"
expect_output "status with nothing installed" "[info] [ui] verb: status" "[info] service:    not installed" \
  "[info] agent:      unregistered" "[info] lastUpload: never"

# The stand-in service running, and the state the agent's service would have written.
wine sc create Ostrivel binpath= "$(winpath "$STAND_IN")" >/dev/null 2>&1 || fail "sc create"
wine sc start Ostrivel >/dev/null 2>&1 || fail "sc start"
reg_set "$PARAMETERS" AgentState registering
reg_set "$PARAMETERS" LastUploadAt 2026-01-05T11:59:00Z
reg_set "$PARAMETERS" PendingNonce n0nce-7
run_agent -STATUS
expect_eq "$RC" 0 "exit code of -STATUS"
expect_output "status of a running service waiting for approval" "[info] [ui] verb: status" \
  "[info] service:    running" "[info] agent:      registering" "[info] lastUpload: 2026-01-05T11:59:00Z" \
  "[info] pending:    registration waiting for approval"

# Interactive check with a registration waiting: the register page opens in the browser.
record_browser
run_agent -check
expect_eq "$RC" 0 "exit code of -check"
expect_contains "$WORK/out" "[info] [check] opening browser: https://app.test/register/#n0nce-7"
wait_for 10 opened "https://app.test/register/#n0nce-7" || fail "the register page never reached the browser"

# Healthy: today's page of this PC, with the credential in the link but never in the log.
reg_unset "$PARAMETERS" PendingNonce
reg_set "$PARAMETERS" AgentState ok
reg_set "$PARAMETERS" LastUploadAt "$(date -u +%Y-%m-%dT%H:%M:%SZ)"
mkdir -p "$DATA_UNIX"
printf '{\n\t"environment": "prd",\n\t"id": "a-1",\n\t"name": "PC",\n\t"token": "%s"\n}' "$TOKEN" >"$DATA_UNIX/identity.json"
day=$(date -u +%Y%m%d)
run_agent -check
expect_eq "$RC" 0 "exit code of a healthy -check"
page="https://app.test/agent?day=$day&token="
expect_contains "$WORK/out" "[info] [check] decision: healthy, opening ${page}********"
wait_for 10 opened "$page$TOKEN" || fail "today's page never reached the browser: $(cat "$OPENED_LINKS")"
if grep -rqF -- "$TOKEN" "$DATA_UNIX/logs" "$WORK/out" "$WORK/err"; then
  fail "the credential reached a log"
fi
# A link the shell refuses (no program for its scheme) is logged, without the link.
OSTRIVEL_APP_URL=ostrivel-nowhere://app run_agent -check
expect_contains "$WORK/out" "[warn] [ui] the shell did not open the link (code 31)"

# Silent and healthy at this user's first logon: the first-logon balloon, which ends on its own.
stamped() { while IFS= read -r line; do echo "$(date +%s%N) $line"; done; }
balloon_up() {  # Wine's balloon is a window of its explorer beside the tray, neither 1x1 nor the tray
  xwininfo -root -tree | grep -F '("explorer.exe" "explorer.exe")' | grep -v -e ' 1x1+' -e '"Wine System Tray"' | grep -q .
}
{ wine "$AGENT_EXE" -check --silent </dev/null 2>"$WORK/err" | stamped; echo "$(date +%s%N) exit ${PIPESTATUS[0]}"; } \
  >"$WORK/stamped" &
check_pid=$!
: >"$WORK/balloon"
while kill -0 "$check_pid" 2>/dev/null; do
  if balloon_up; then date +%s%N >>"$WORK/balloon"; fi
  sleep 0.2
done
wait "$check_pid"
sed 's/^[0-9]* //' "$WORK/stamped" | tr -d '\r' >"$WORK/out"
expect_contains "$WORK/out" "[info] [check] decision: first logon for this user, showing the notice"
expect_contains "$WORK/out" "[info] [check] toast: Ostrivel is recording on this PC - It notes which apps use the processor, and when. It never sees your screen, your typing or the sites you visit. (https://www.test/data)"
expect_contains "$WORK/out" "exit 0"
expect_eq "$(reg_get "$USER_KEY" NoticeSeen)" 1 "NoticeSeen after the notice"
toast_at=$(grep -F '[check] toast:' "$WORK/stamped" | cut -d' ' -f1)
exit_at=$(grep -F ' exit ' "$WORK/stamped" | cut -d' ' -f1)
if [ ! -s "$WORK/balloon" ]; then
  fail "no balloon window appeared"
else
  shown_ms=$((($(tail -n 1 "$WORK/balloon") - $(head -n 1 "$WORK/balloon")) / 1000000))
  echo "balloon seen for ${shown_ms} ms; the check returned $(((exit_at - toast_at) / 1000000)) ms after the toast line"
  [ "$shown_ms" -le 15000 ] || fail "the balloon stayed ${shown_ms} ms"
fi
# Our timer ends the toast 15 s after the icon is added; Wine then takes up to 2 s more to remove
# the icon, waiting for a window manager that Xvfb does not have.
[ $(((exit_at - toast_at) / 1000000)) -le 18500 ] || fail "the silent check took too long after its toast"

run_agent -check --silent
expect_eq "$(output | tail -n 1)" "[info] [check] decision: healthy, staying silent" "the next silent logon"

# -stop: accepted by the manager, and the service ends.
run_agent -stop
expect_eq "$RC" 0 "exit code of -stop"
expect_output "-stop" "[info] [ui] verb: -stop" "[info] [ui] stopping the service" "[info] [ui] service stopped"
stopped() { run_agent status; output | grep -qxF "[info] service:    stopped"; }
wait_for 15 stopped || fail "the service did not stop: $(output)"

# -uninstall of a running service: stopped, removed with its keys, the data folder swept.
wine sc start Ostrivel >/dev/null 2>&1 || fail "sc start again"
run_agent -uninstall
expect_eq "$RC" 0 "exit code of -uninstall"
expect_output "-uninstall" "[info] [ui] verb: -uninstall" \
  "[info] [ui] uninstalling the service and sweeping its footprint" "[info] [ui] service uninstalled"
[ ! -e "$DATA_UNIX" ] || fail "the data folder is still there: $(find "$DATA_UNIX" | head)"
wine sc query Ostrivel >/dev/null 2>&1 && fail "the service is still registered"
run_agent status
expect_output "status after -uninstall" "[info] [ui] verb: status" "[info] service:    not installed" \
  "[info] agent:      unregistered" "[info] lastUpload: never"
expect_eq "$(reg_get "$USER_KEY" NoticeSeen)" 1 "NoticeSeen survives the uninstall"

finish
