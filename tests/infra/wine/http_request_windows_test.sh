#!/usr/bin/env bash
# HttpRequestWindows under Wine against the local web API on loopback.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api || finish
# A second server on another loopback port, where a redirect points: it records what reaches it.
"$API_EXE" --state "$WORK/recorder-state" --port 0 >"$WORK/recorder.log" 2>&1 &
at_exit "kill $!; wait $!"
wait_for 10 grep -q '^listening on ' "$WORK/recorder.log" || fail "the recorder did not start"
RECORDER_URL="http://$(sed -n 's/^listening on //p' "$WORK/recorder.log" | head -n 1)"

OSTRIVEL_TEST_API_URL="$API_URL" OSTRIVEL_TEST_RECORDER_URL="$RECORDER_URL" \
  wine "$OSTRIVEL_BUILD_DIR/tests/infra/http_request_windows_tests.exe" >"$WORK/out" 2>&1 </dev/null
RC=$?
expect_eq "$RC" 0 "exit code of http_request_windows_tests"
expect_contains "$WORK/out" "[  PASSED  ] 6 tests."
if [ "$RC" -ne 0 ]; then sed 's/^/    | /' "$WORK/out" >&2; fi

finish
