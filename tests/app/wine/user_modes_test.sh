#!/usr/bin/env bash
# The user modes under Wine: the usage line, exit codes and the user's day log; the elevation hop.
# Argument: the elevation probe, which runs the elevation hop on its own.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"
probe=$1
usage="[info] usage: Ostrivel [-check | -service | -run | -stop | -install | -uninstall | status]"

run_agent help
expect_eq "$RC $(tr -d '\r' <"$WORK/out" | paste -sd '|')" "1 [info] [ui] verb: help|$usage" "help"
run_agent
expect_eq "$RC $(tr -d '\r' <"$WORK/out" | paste -sd '|')" "0 [info] [ui] verb: (none)|$usage" "no argument"
# Wine's user token is elevated, so a service-changing verb runs in this very process: its lines
# reach this process's redirected output, and no copy is started.
run_agent -STOP
expect_eq "$RC $(tr -d '\r' <"$WORK/out" | tail -n 1)" "1 [info] [ui] service not stopped" "-stop, nothing installed"

# The user's day log: local date as its name, a local stamp with its offset, CRLF line ends.
day_file="$DATA_UNIX/logs/ui/$(date +%Y%m%d).log"
head -n 1 "$day_file" | grep -qE $'^[0-9-]{10}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2} \\[info\\] \\[ui\\] verb: help\r$' ||
  fail "the day log does not start with a local stamp with its offset, the verb and CRLF: $(ls -R "$DATA_UNIX")"

# The hop itself: "runas" starts a copy with the mode as its parameters and returns the copy's
# exit code; a program that cannot be started gives -1. Last, since the uninstall sweeps the
# data folder with the day log.
hop() { wine "$probe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
expect_eq "$(hop "$(winpath "$AGENT_EXE")" -stop) $(hop "$(winpath "$AGENT_EXE")" -uninstall)" "1 0" "hops to verbs"
expect_eq "$(hop 'Z:\nonexistent\ostrivel.exe' -stop)" -1 "hop to a missing program"
finish
