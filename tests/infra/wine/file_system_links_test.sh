#!/usr/bin/env bash
# FileSystemWindows against links planted in a data folder. Wine cannot make Windows links, but it
# shows a Unix symbolic link to a folder as a reparse point, and, opened, any link shows where it
# leads by its final path and a second name by its link count. Then the agent's own elevated run
# (Wine's user is elevated) meets such links in logs\ui, where any user may plant them.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

links="$WORK/links"
mkdir -p "$links/data/history" "$links/data/logs" "$links/elsewhere"
printf '{"elsewhere":true}' >"$links/elsewhere/days202601050000.json"
ln -s ../elsewhere "$links/data/outbox"
ln -s data "$links/linked-data"
ln "$links/elsewhere/days202601050000.json" "$links/data/logs/20260105.log"
ln -s ../../elsewhere/days202601050000.json "$links/data/logs/20260106.log"

OSTRIVEL_TEST_LINKS=$(winpath "$links") \
  wine "$OSTRIVEL_BUILD_DIR/tests/infra/file_system_links_windows_tests.exe" >"$WORK/out" 2>&1 </dev/null
expect_eq "$?" 0 "exit code of file_system_links_windows_tests"
expect_contains "$WORK/out" "[  PASSED  ] 3 tests."

# Nothing reached the folder the link names, and the link is still a link.
expect_eq "$(ls -A "$links/elsewhere" | tr '\n' ' ')" "days202601050000.json " "files where the outbox link points"
expect_eq "$(cat "$links/elsewhere/days202601050000.json")" '{"elsewhere":true}' "the file behind the link"
[ -L "$links/data/outbox" ] || fail "the outbox link was replaced"
[ -f "$links/data/history/kept/days202601050010.json" ] || fail "the real history folder was not written"

# An elevated run prunes nothing in logs\ui; a day file with a second name there, then logs\ui
# itself a link (standing in for a junction), are not written: the run logs to logs\service, with
# one warning each time.
ui="$DATA_UNIX/logs/ui"
today="$(date +%Y%m%d).log"
mkdir -p "$ui" "$DATA_UNIX/logs/service" "$WORK/theirs"  # as an install leaves them
for day in $(seq 10 29); do : >"$ui/202512$day.log"; done
run_agent status
expect_eq "$(ls "$ui" | wc -l)" 21 "day files in logs\\ui after an elevated run (twenty old ones and today's)"
printf 'theirs\n' >"$WORK/theirs/target.log"
rm -f "$ui/$today"
ln "$WORK/theirs/target.log" "$ui/$today"
run_agent status
expect_eq "$(grep -c 'could not be written safely, this run logs to' "$WORK/out")" 1 "warnings of the second run"
mv "$ui" "$WORK/ui-before"
ln -s "$WORK/theirs" "$ui"
run_agent status
expect_eq "$(grep -c 'could not be written safely, this run logs to' "$WORK/out")" 1 "warnings of the third run"
expect_eq "$(ls -A "$WORK/theirs")" "target.log" "files where logs\\ui leads"
expect_eq "$(cat "$WORK/theirs/target.log")" "theirs" "the file with a second name in logs\\ui"
expect_eq "$(grep -c '\[ui\] verb: status' "$DATA_UNIX/logs/service/$today")" 2 "runs logged in logs\\service"

finish
