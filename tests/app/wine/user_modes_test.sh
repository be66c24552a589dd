#!/usr/bin/env bash
# The user modes under Wine: mode folding, the usage line, exit codes and the user's day log; the
# libraries a copy of the agent loads when DLLs are planted beside it.
# Arguments: the elevation probe, which runs the elevation hop on its own; the planted DLL.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"
PROBE=$1
PLANTED_DLL=$2

usage="usage: Ostrivel [-check | -service | -run | -stop | -install | -uninstall | status]"

run_agent help
expect_eq "$RC" 1 "exit code of 'help'"
expect_contains "$WORK/out" "[info] [ui] verb: help"
expect_contains "$WORK/out" "[info] $usage"

run_agent
expect_eq "$RC" 0 "exit code without an argument"
expect_contains "$WORK/out" "[info] [ui] verb: (none)"
expect_contains "$WORK/out" "$usage"

for spelling in -STATUS -Status; do
  run_agent "$spelling"
  expect_contains "$WORK/out" "[ui] verb: status"
done

# The user's day log: local date as its name, CRLF line ends, a local stamp with its offset.
day_file=$(ls "$DATA_UNIX/logs/ui/"*.log 2>/dev/null | head -n 1)
if [ -z "$day_file" ]; then
  fail "no day file under $DATA_UNIX/logs/ui"
else
  expect_eq "$(basename "$day_file")" "$(date +%Y%m%d).log" "day file name"
  expect_contains "$day_file" "[info] [ui] verb: help"
  if ! head -n 1 "$day_file" | grep -qE $'^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2} \\[info\\] \\[ui\\] verb: help\r$'; then
    fail "first line is not '<local stamp with offset> [info] ...' ending in CRLF: $(head -n 1 "$day_file" | od -c | head -n 3)"
  fi
fi

# Wine's user token is elevated, so a service-changing verb runs in this very process: its lines
# reach this process's redirected output, and no copy is started.
run_agent -STOP
expect_eq "$RC" 1 "exit code of -stop with nothing installed"
expect_contains "$WORK/out" "[info] [ui] verb: -stop"
expect_contains "$WORK/out" "[info] [ui] service not stopped"

# DLLs planted beside a copy of the agent under the names of libraries it loads beyond the known
# DLLs: neither is loaded, and WinHTTP (used at once by "-run") comes from System32. Wine prefers
# its own libraries; the override makes it take one found first, as Windows would. (Not
# version.dll: Wine's own user32 loads it at start, which the user32 of Windows does not.)
mkdir -p "$WORK/planted"
cp "$AGENT_EXE" "$WORK/planted/"
for dll in winhttp wevtapi; do cp "$PLANTED_DLL" "$WORK/planted/$dll.dll"; done
OSTRIVEL_PLANTED_MARKER=$(winpath "$WORK/planted-loaded") OSTRIVEL_API_URL=http://127.0.0.1:9 \
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winhttp,wevtapi=n,b" \
  wine "$WORK/planted/ostrivel.exe" -run >"$WORK/planted-out" 2>&1 </dev/null &
planted_pid=$!
wait_for 30 grep -qsF "[initializer] register -> 0" "$WORK/planted-out" || fail "-run beside planted DLLs never sent a request: $(cat "$WORK/planted-out")"
kill -9 "$planted_pid" 2>/dev/null
wait "$planted_pid" 2>/dev/null
[ ! -e "$WORK/planted-loaded" ] || fail "a DLL planted beside the executable was loaded"

# The hop itself: "runas" starts a copy with the mode as its parameters and returns the copy's
# exit code; a program that cannot be started gives -1. Last, since the uninstall sweeps the
# data folder with the day log.
hop() { wine "$PROBE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
expect_eq "$(hop "$(winpath "$AGENT_EXE")" -stop)" 1 "hop to '-stop' with nothing installed"
expect_eq "$(hop "$(winpath "$AGENT_EXE")" -uninstall)" 0 "hop to '-uninstall' with nothing installed"
expect_eq "$(hop 'Z:\nonexistent\ostrivel.exe' -stop)" -1 "hop to a missing program"

finish
