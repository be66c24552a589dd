#!/usr/bin/env bash
# The infra test program under Wine, against links planted below a data folder and the local web
# API with a recorder beside it; the agent's own elevated runs meet a link as logs\ui; then the
# data folder's guard in the service: the folders it makes, and a data folder another account made
# first, taken back. Wine cannot make Windows links, but it shows a Unix symbolic link to a folder
# as a reparse point, and, opened, any link shows where it leads by its final path and a second
# name by its link count. Wine keeps no access lists of its own: it derives them from the Unix
# owner and mode bits, shows a folder of another Unix account as owned by Anonymous Logon
# (S-1-5-7), and a list set on a held handle reaches only the owner's and group's bits, so "others
# cannot write" is what shows that the agent's lists were set. Wine does enforce share modes, so a
# squatter's handle that shares nothing stands in for one on Windows.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

links="$WORK/links"
mkdir -p "$links/data/history" "$links/data/logs" "$links/elsewhere"
printf '{"elsewhere":true}' >"$links/elsewhere/days202601050000.json"
ln -s ../elsewhere "$links/data/outbox"
ln -s data "$links/linked-data"
ln "$links/elsewhere/days202601050000.json" "$links/data/logs/20260105.log"
ln -s ../../elsewhere/days202601050000.json "$links/data/logs/20260106.log"
start_api --auto-approve || finish
set_machine_env OSTRIVEL_API_URL "$API_URL"
"$API_EXE" --state "$WORK/recorder-state" --port 0 >"$WORK/recorder.log" 2>&1 &
at_exit "kill $!; wait $!"
wait_for 10 grep -q '^listening on ' "$WORK/recorder.log" || fail "the recorder did not start"

OSTRIVEL_TEST_LINKS=$(winpath "$links") OSTRIVEL_TEST_API_URL="$API_URL" \
  OSTRIVEL_TEST_RECORDER_URL="http://$(sed -n 's/^listening on //p' "$WORK/recorder.log")" \
  wine "$OSTRIVEL_BUILD_DIR/tests/infra/infra_windows_tests.exe" >"$WORK/tests" 2>&1 </dev/null
expect_eq "$?" 0 "exit code of infra_windows_tests"
expect_contains "$WORK/tests" "[  PASSED  ] 6 tests."
# Nothing reached what the links name, and the links are still links.
expect_eq "$(ls -A "$links/elsewhere")" "days202601050000.json" "files where the outbox link points"
[ -L "$links/data/outbox" ] || fail "the outbox link was replaced"

# With logs\ui a link (standing in for a junction) an elevated run writes nothing there, and logs
# to logs\service with one warning.
mkdir -p "$DATA_UNIX/logs/service" "$WORK/theirs"
ln -s "$WORK/theirs" "$DATA_UNIX/logs/ui"
run_agent status
expect_eq "$(grep -c 'could not be written safely, this run logs to' "$WORK/out")" 1 "warnings of the run"
expect_eq "$(ls -A "$WORK/theirs")" "" "files where logs\\ui leads"
expect_eq "$(grep -c '\[ui\] verb: status' "$DATA_UNIX/logs/service/$(date +%Y%m%d).log")" 1 "runs logged in logs\\service"

# The service itself, not -install (whose guard would make the folder first).
rm -rf "$DATA_UNIX"
keep_wine_running
day_logs_say() { cat "$DATA_UNIX"/logs/service/*.log 2>/dev/null | tr -d '\r' | grep -qF -- "$1"; }
others_cannot_write() { [ $(($(stat -c %a "$DATA_UNIX/$1" | cut -c3) & 2)) -eq 0 ]; }
wine sc create Ostrivel binpath= "\"$(winpath "$AGENT_EXE")\" -service" >/dev/null 2>&1 || fail "sc create"
wine sc start Ostrivel >/dev/null 2>&1 || fail "sc start"
wait_for 30 day_logs_say "[main] Ostrivel" || fail "the service wrote no day log"
for folder in "" logs logs/service logs/ui outbox history; do
  others_cannot_write "$folder" || fail "$folder: others may write"
done
if day_logs_say "taken back" || day_logs_say "removed"; then fail "findings in the folders the service made"; fi

# Another account was first: the whole tree is its own and anyone may write to it.
wine sc stop Ostrivel >/dev/null 2>&1
wait_for 30 service_is STOPPED || fail "the service did not stop"
rm -rf "$DATA_UNIX"
mkdir -p "$DATA_UNIX/outbox" "$DATA_UNIX/logs/service"
printf '{"environment":"prd","id":"planted","name":"PC","token":"osv_Planted"}' >"$DATA_UNIX/identity.json"
printf '{"kind":"events","events":[{"kind":"planted"}]}' >"$DATA_UNIX/outbox/events20260105000001.json"
chown -R nobody "$DATA_UNIX"
chmod -R a+rwX "$DATA_UNIX"
data=$(winpath "$DATA_UNIX")
OSTRIVEL_SQUAT="$data\\outbox" OSTRIVEL_SQUAT_RELEASE=$(winpath "$WORK/release") wine \
  "$OSTRIVEL_BUILD_DIR/tests/infra/infra_windows_tests.exe" --gtest_filter=FileSystemWindows.Squatter \
  >"$WORK/squatter" 2>&1 </dev/null &
wait_for 20 grep -qs holding "$WORK/squatter" || fail "the squatter holds nothing: $(cat "$WORK/squatter")"
wine sc start Ostrivel >/dev/null 2>&1 || fail "sc start after the squat"
# Taken back, but the outbox cannot be looked into: nothing is written there until it can.
for line in "[main] $data was owned by S-1-5-7, taken back" "[main] $data\\identity.json was put there by S-1-5-7, removed" \
  "[main] $data\\outbox was owned by S-1-5-7, taken back" "[error] [main] $data\\outbox could not be looked into" \
  "not queued, the outbox write failed"; do
  wait_for 60 day_logs_say "$line" || fail "the day log lacks: $line"
done
for folder in "" outbox logs/service; do
  others_cannot_write "$folder" || fail "$folder: others may still write"
done

# The squatter lets go: the next pass looks into the outbox, and the planted record goes.
touch "$WORK/release"
wait_for 120 day_logs_say "[main] $data\\outbox\\events20260105000001.json was put there by S-1-5-7, removed" ||
  fail "the planted record was not removed once the outbox could be looked into"
if api_records | grep -qF planted; then fail "the planted record was sent"; fi

finish
