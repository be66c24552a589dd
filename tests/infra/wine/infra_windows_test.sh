#!/usr/bin/env bash
# The infra test program under Wine, against links planted below a data folder and the local web
# API with a recorder beside it; then the agent's own elevated runs meet a link as logs\ui. Wine
# cannot make Windows links, but it shows a Unix symbolic link to a folder as a reparse point,
# and, opened, any link shows where it leads by its final path and a second name by its link count.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

links="$WORK/links"
mkdir -p "$links/data/history" "$links/data/logs" "$links/elsewhere"
printf '{"elsewhere":true}' >"$links/elsewhere/days202601050000.json"
ln -s ../elsewhere "$links/data/outbox"
ln -s data "$links/linked-data"
ln "$links/elsewhere/days202601050000.json" "$links/data/logs/20260105.log"
ln -s ../../elsewhere/days202601050000.json "$links/data/logs/20260106.log"
start_api || finish
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
expect_eq "$(cat "$links/elsewhere/days202601050000.json")" '{"elsewhere":true}' "the file behind the links"
[ -L "$links/data/outbox" ] || fail "the outbox link was replaced"

# An elevated run prunes nothing in logs\ui; with logs\ui a link (standing in for a junction) it
# writes nothing there, and logs to logs\service with one warning.
ui="$DATA_UNIX/logs/ui"
mkdir -p "$ui" "$DATA_UNIX/logs/service" "$WORK/theirs"
for day in $(seq 10 29); do : >"$ui/202512$day.log"; done
run_agent status
expect_eq "$(ls "$ui" | wc -l)" 21 "day files in logs\\ui after an elevated run (twenty old ones and today's)"
rm -r "$ui"
ln -s "$WORK/theirs" "$ui"
run_agent status
expect_eq "$(grep -c 'could not be written safely, this run logs to' "$WORK/out")" 1 "warnings of the run"
expect_eq "$(ls -A "$WORK/theirs")" "" "files where logs\\ui leads"
expect_eq "$(grep -c '\[ui\] verb: status' "$DATA_UNIX/logs/service/$(date +%Y%m%d).log")" 1 "runs logged in logs\\service"

finish
