#!/usr/bin/env bash
# The service's whole life under Wine's service control manager: install (twice, then from a
# second folder), running as a service against the local web API, stop, uninstall.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

start_api --auto-approve || finish
# A service does not inherit the environment of the program that installed it.
set_machine_env OSTRIVEL_API_URL "$API_URL"
keep_wine_running

exe_win=$(winpath "$AGENT_EXE")
service_state() { wine sc query Ostrivel 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
service_is() { [ "$(service_state)" = "$1" ]; }
reg_query() { wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^  /, ""); print }'; }
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ostrivel'
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Ostrivel'
# A value's text as stored, through regedit's UTF-16 export: "reg query" prints the ANSI code
# page, which cannot show every name.
reg_exact() {
  wine regedit /E "$WORK/export.reg" "${1/#HKLM/HKEY_LOCAL_MACHINE}" >/dev/null 2>&1
  iconv -f UTF-16LE -t UTF-8 "$WORK/export.reg" | NAME="$2" perl -CS -MEncode -0777 -ne 's/\\\r?\n\s*//g;
    if (/^"\Q$ENV{NAME}\E"="((?:[^"\\]|\\.)*)"/m) { ($v = $1) =~ s/\\(.)/$1/g; print $v }
    elsif (/^"\Q$ENV{NAME}\E"=hex\(2\):([0-9a-f,]*)/m) { $v = decode("UTF-16LE", pack("C*", map { hex } split /,/, $1)); $v =~ s/\0+$//; print $v }'
}

# Nothing installed yet: uninstall still succeeds.
run_agent -uninstall
expect_eq "$RC" 0 "uninstall with nothing installed"
expect_contains "$WORK/out" "[ui] service uninstalled"

run_agent -install
expect_eq "$RC" 0 "exit code of -install"
expect_contains "$WORK/out" "[ui] installing the service"
expect_contains "$WORK/out" "[ui] service installed and started"
wait_for 20 service_is RUNNING || fail "the service is not running after -install (state $(service_state))"

# Wine's sc.exe has no "qc": the service's configuration is read from its key.
expect_eq "$(reg_query "$service_key" Start)" "0x2" "start type (automatic)"
expect_eq "$(reg_query "$service_key" Type)" "0x10" "service type (own process)"
expect_eq "$(reg_query "$service_key" ImagePath)" "\"$exe_win\" -service" "service command line"
expect_eq "$(reg_query "$service_key" ObjectName)" "LocalSystem" "service account"
expect_eq "$(reg_query "$service_key" Description)" \
  "Ostrivel usage agent - records per-app and per-service CPU minutes for this PC. Remove with 'Ostrivel -uninstall' or the installer." \
  "service description"
expect_eq "$(reg_query "$run_key" Ostrivel)" "\"$exe_win\" -check --silent" "autostart value"
expect_eq "$(reg_query "$source_key" EventMessageFile)" "$exe_win" "event source message file"
expect_eq "$(reg_query "$source_key" TypesSupported)" "0x7" "event source types"

# The running service enrols against the local web API and its records arrive there.
has_started_event() { api_records | jq -e '[.[] | .body | fromjson? | select(.kind == "events") | .events[0].kind] | index("started") != null' >/dev/null; }
wait_for 90 has_started_event || fail "no record of the service reached the local web API"
grep -qF "[main] Ostrivel 2026.1.0.10 -> $API_URL" "$DATA_UNIX/logs/service/"*.log 2>/dev/null ||
  fail "the service's day log lacks its [main] line"

# The service wrote its failure actions at its start: three restarts a minute apart, reset
# after a day. Stored as SERVICE_FAILURE_ACTIONS: the reset period (86400 = 80510100 in
# little-endian hex) first, then each action as type 1 (restart) and 60000 ms (60ea0000).
failure=$(wine reg query "$service_key" /v FailureActions 2>/dev/null | tr -d '\r' | awk '$1 == "FailureActions" { print tolower($3) }')
if [ -n "$failure" ]; then
  [ "${failure:0:8}" = "80510100" ] || fail "failure actions do not reset after 86400 s: $failure"
  restarts=$(grep -o "0100000060ea0000" <<<"$failure" | wc -l)
  expect_eq "$restarts" 3 "restart actions after 60 s"
else
  echo "note: Wine keeps no FailureActions value; only the absence of the warning below shows the call succeeded"
fi
if grep -qF "service recovery actions not set" "$DATA_UNIX/logs/service/"*.log 2>/dev/null; then
  fail "the service could not set its failure actions"
fi

# Installing again succeeds; installing from a second folder, whose name the ANSI code page
# cannot hold, moves service, autostart and event source there.
run_agent -install
expect_eq "$RC" 0 "second -install"
second="$WORK/second Łódź 東京"
mkdir -p "$second"
cp "$AGENT_EXE" "$second/ostrivel.exe"
second_win=$(winpath "$second/ostrivel.exe")
wine "$second/ostrivel.exe" -install >"$WORK/out" 2>"$WORK/err" </dev/null
expect_eq "$?" 0 "-install from a second folder"
expect_eq "$(reg_exact "$service_key" ImagePath)" "\"$second_win\" -service" "service command line after the move"
expect_eq "$(reg_exact "$run_key" Ostrivel)" "\"$second_win\" -check --silent" "autostart value after the move"
expect_eq "$(reg_exact "$source_key" EventMessageFile)" "$second_win" "event source message file after the move"

# "-service" typed in a console cannot reach the dispatcher.
run_agent -service
expect_eq "$RC" 1 "exit code of -service in a console"
expect_not_contains "$WORK/out" "[main]"  # a service logs to the event log and its file, not the console
grep -qF "[main] Ostrivel" "$DATA_UNIX/logs/service/"*.log || fail "-service wrote no [main] line"

# A stop writes the open bucket and a "stopped" event before the service ends.
wait_for 20 service_is RUNNING || fail "the service is not running before the stop"
run_agent -stop
expect_eq "$RC" 0 "exit code of -stop"
expect_contains "$WORK/out" "[ui] service stopped"
wait_for 20 service_is STOPPED || fail "the service did not stop within 20 s (state $(service_state))"
all_records() {
  { cat "$DATA_UNIX"/outbox/*.json "$DATA_UNIX"/history/*.json 2>/dev/null; api_records | jq -c '.[] | .body | fromjson?'; } |
    jq -s -c '.'
}
all_records | jq -e '[.[] | select(.kind == "events") | .events[0].kind] | index("stopped") != null' >/dev/null ||
  fail "no \"stopped\" event was recorded"
# The flush closes the bucket at its last sample; the partial records before it ended 1 ms later.
all_records | jq -e '[.[] | select(.kind == "days") | .end] as $ends | any($ends[]; . as $e | $ends | index($e + 1) != null)' >/dev/null ||
  fail "the open bucket was not written at the stop"

# The service's file is where its command line says, though no ANSI code page can spell it.
wine sc start Ostrivel >/dev/null 2>&1
wait_for 20 service_is RUNNING || fail "the service does not start from the second folder (state $(service_state))"

run_agent -uninstall
expect_eq "$RC" 0 "exit code of -uninstall"
expect_contains "$WORK/out" "[ui] service uninstalled"
if wine sc query Ostrivel >/dev/null 2>&1; then fail "the service is still there"; fi
[ -z "$(reg_query "$run_key" Ostrivel)" ] || fail "the autostart value is still there"
wine reg query "$source_key" >/dev/null 2>&1 && fail "the event source key is still there"
[ ! -e "$DATA_UNIX" ] || fail "the data folder is still there: $(ls -R "$DATA_UNIX" | head)"

finish
