#!/usr/bin/env bash
# FileSystemWindows against links planted in a data folder. Wine cannot make Windows links, but it
# shows a Unix symbolic link to a folder as a reparse point; links to files it shows as plain
# files, so those are left to the native tests of the guard.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

links="$WORK/links"
mkdir -p "$links/data/history" "$links/elsewhere"
printf '{"elsewhere":true}' >"$links/elsewhere/days202601050000.json"
ln -s ../elsewhere "$links/data/outbox"
ln -s data "$links/linked-data"

OSTRIVEL_TEST_LINKS=$(winpath "$links") \
  wine "$OSTRIVEL_BUILD_DIR/tests/infra/file_system_links_windows_tests.exe" >"$WORK/out" 2>&1 </dev/null
expect_eq "$?" 0 "exit code of file_system_links_windows_tests"
expect_contains "$WORK/out" "[  PASSED  ] 3 tests."

# Nothing reached the folder the link names, and the link is still a link.
expect_eq "$(ls -A "$links/elsewhere" | tr '\n' ' ')" "days202601050000.json " "files where the outbox link points"
expect_eq "$(cat "$links/elsewhere/days202601050000.json")" '{"elsewhere":true}' "the file behind the link"
[ -L "$links/data/outbox" ] || fail "the outbox link was replaced"
[ -f "$links/data/history/kept/days202601050010.json" ] || fail "the real history folder was not written"

finish
