#!/usr/bin/env bash
# The user modes under Wine: the usage line, exit codes and the elevation hop.
# Argument: the elevation probe, which runs the elevation hop on its own.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"
probe=$1
usage="[info] usage: Ostrivel [-check | -service | -run | -stop | -install | -uninstall | status]"

run_agent help
expect_eq "$RC $(tr -d '\r' <"$WORK/out" | paste -sd '|')" "1 [info] [ui] verb: help|$usage" "help"
run_agent
expect_eq "$RC $(tr -d '\r' <"$WORK/out" | paste -sd '|')" "0 [info] [ui] verb: (none)|$usage" "no argument"

# The hop itself: "runas" starts a copy with the mode as its parameters and returns the copy's
# exit code.
hop() { wine "$probe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
expect_eq "$(hop "$(winpath "$AGENT_EXE")" -stop) $(hop "$(winpath "$AGENT_EXE")" -uninstall)" "1 0" "hops to verbs"
finish
