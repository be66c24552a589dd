#!/usr/bin/env bash
# HttpRequestWindows under Wine against the local web API on loopback.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api || finish
OSTRIVEL_TEST_API_URL="$API_URL" wine "$OSTRIVEL_BUILD_DIR/tests/infra/http_request_windows_tests.exe" \
  >"$WORK/out" 2>&1 </dev/null
RC=$?
expect_eq "$RC" 0 "exit code of http_request_windows_tests"
expect_contains "$WORK/out" "[  PASSED  ] 4 tests."
if [ "$RC" -ne 0 ]; then sed 's/^/    | /' "$WORK/out" >&2; fi

finish
