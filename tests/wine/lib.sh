# Shared steps of the Wine tests: a private prefix, the agent's folders, running the agent,
# and checks that print what they expected. Source it from a test script.
set -uo pipefail
: "${OSTRIVEL_BUILD_DIR:?run through ctest}" "${OSTRIVEL_WINE_TEMPLATE:?run through ctest}"

AGENT_EXE="$OSTRIVEL_BUILD_DIR/ostrivel.exe"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-winetest.XXXXXX")
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
FAILURES=0 CLEANUP_STEPS=()
on_exit() {
  local step
  for step in "${CLEANUP_STEPS[@]}"; do eval "$step" >/dev/null 2>&1; done
  wineserver -k >/dev/null 2>&1
  rm -rf "$WORK"
}
trap on_exit EXIT
cp -a "$OSTRIVEL_WINE_TEMPLATE" "$WINEPREFIX"

# Runs a command when the test ends, before Wine is stopped.
at_exit() { CLEANUP_STEPS+=("$1"); }

# The Windows spelling of a Unix path (Wine maps the Unix root as drive Z:).
winpath() { local p; p=$(realpath -m "$1"); echo "Z:${p//\//\\}"; }

# set_reg_value SECTION NAME VALUE: a REG_SZ text written straight in the prefix's system.reg
# before its wineserver starts (each "wine reg add" would cost half a second); SECTION as written
# there, e.g. 'System\\CurrentControlSet\\Control\\Session Manager\\Environment'.
set_reg_value() {
  SECTION="[$1]" NAME="$2" VALUE="$(perl -pe 's/\\/\\\\/g; s/"/\\"/g' <<<"$3")" perl -i -ne '
    if ($skip && /^"\Q$ENV{NAME}\E"=/i) { next; }
    print;
    if (index($_, $ENV{SECTION}) == 0) { $skip = 1; $pending = 1; next; }
    if ($pending && /^#time=/) { print "\"$ENV{NAME}\"=\"$ENV{VALUE}\"\n"; $pending = 0; }
    if (/^\[/ && index($_, $ENV{SECTION}) != 0) { $skip = 0; }
  ' "$WINEPREFIX/system.reg"
}

# set_machine_env NAME VALUE: an environment variable every process gets, services included
# (a service does not inherit the environment of the program that started it).
set_machine_env() { set_reg_value 'System\\CurrentControlSet\\Control\\Session Manager\\Environment' "$1" "$2"; }

# A ProgramData folder of the test's own; the agent's data folder is $DATA_UNIX. Wine takes
# ProgramData from the profile list, not from the Unix environment; services (the local system's
# environment) take it from the profile list's "Public" value.
DATA_UNIX="$WORK/programdata/Ostrivel"
mkdir -p "$WORK/programdata"
for name in ProgramData Public; do
  set_reg_value 'Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList' $name "$(winpath "$WORK/programdata")"
done
set_machine_env ProgramData "$(winpath "$WORK/programdata")"

# The agent's service, autostart value and event source; service_is STATE: the service is in it.
SERVICE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\Ostrivel'
RUN_KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
SOURCE_KEY='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ostrivel'
service_is() { wine sc query Ostrivel 2>/dev/null | tr -d '\r' | grep -qE "STATE +: [0-9]+ +$1"; }

# run_agent ARGS...: runs ostrivel.exe; output in $WORK/out and $WORK/err, exit code in $RC.
run_agent() { wine "$AGENT_EXE" "$@" >"$WORK/out" 2>"$WORK/err" </dev/null; RC=$?; }

fail() { echo "FAIL: $*" >&2; FAILURES=$((FAILURES + 1)); }
expect_eq() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }  # ACTUAL EXPECTED WHAT
# expect_contains FILE TEXT, expect_not_contains FILE TEXT
expect_contains() { grep -qF -- "$2" "$1" || { fail "$(basename "$1") lacks '$2'" && sed 's/^/    | /' "$1" >&2; }; }
expect_not_contains() { ! grep -qF -- "$2" "$1" || fail "$(basename "$1") holds '$2'"; }

# keep_wine_running: once no ordinary Windows process is left, Wine stops serving the timers of
# service processes (a Sleep in a service never returns, about a second after the last client
# exited). Tests of a running service keep one harmless process alive for their whole run.
keep_wine_running() { wine cmd /c "ping -n 86400 127.0.0.1 >nul" >/dev/null 2>&1 </dev/null & }

# wait_for SECONDS COMMAND...: polls every 0.2 s until the command succeeds.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do [ $SECONDS -lt $deadline ] && sleep 0.2 || return 1; done
}

finish() {
  [ "$FAILURES" -eq 0 ] || { echo "$FAILURES check(s) failed" >&2 && exit 1; }
  echo "all checks passed" && exit 0
}

# reg_values KEY: the values of a key (not of its subkeys) as NAME=DATA lines, through regedit's
# UTF-16 export ("reg query" prints the ANSI code page, which cannot show every name): texts as
# they are, numbers as dword:XXXXXXXX. Nothing when the key is absent.
reg_values() {
  local key=${1/#HKLM/HKEY_LOCAL_MACHINE}
  rm -f "$WORK/export.reg"
  wine regedit /E "$WORK/export.reg" "${key/#HKCU/HKEY_CURRENT_USER}" >/dev/null 2>&1
  [ -f "$WORK/export.reg" ] && iconv -f UTF-16LE -t UTF-8 "$WORK/export.reg" | tr -d '\r' |
    perl -CS -MEncode -0777 -ne '
    s/\\\n\s*//g;
    ($values) = /^\[.*?\]\n(.*?)(?:\n\n|\z)/ms;
    while ($values =~ /^"((?:[^"\\]|\\.)*)"=(?:"((?:[^"\\]|\\.)*)"|hex\(2\):([0-9a-f,]*)|(dword:\w+))/mg) {
      my ($n, $text, $hex, $v) = ($1, $2, $3, $4);
      s/\\(.)/$1/g for grep { defined } $n, $text;
      $v = $text // $v // decode("UTF-16LE", pack("C*", map { hex } split /,/, $hex)) =~ s/\0+$//r;
      print "$n=$v\n";
    }'
}
# reg_value KEY NAME: the data of one value as reg_values prints it; nothing when absent.
reg_value() { reg_values "$1" | sed -n "s/^$2=//p"; }

# record_browser: from now on Wine's browser launcher hands every web link to a recorder instead
# of a real browser; each link opened becomes one line of $OPENED_LINKS.
OPENED_LINKS="$WORK/opened-links"
record_browser() {
  printf '#!/bin/sh\nprintf "%%s\\n" "$1" >>"%s"\n' "$OPENED_LINKS" >"$WORK/record-link.sh"
  chmod +x "$WORK/record-link.sh"
  : >"$OPENED_LINKS"
  wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$WORK/record-link.sh" /f >/dev/null 2>&1
}

# start_api [OPTIONS...]: starts the local web API (tools/api, from the native build) on a free
# loopback port with its state in $API_STATE, waits until it answers, exports API_URL
# (http://127.0.0.1:PORT) and stops it when the test ends. OPTIONS are the server's own
# (--auto-approve, --session-lifetime S, --cadence M, --delete); its request log is $API_LOG.
# The admin endpoints are described in tools/README.md and at the top of tools/api/main.cpp.
start_api() {
  API_EXE="${OSTRIVEL_NATIVE_BUILD_DIR:-}/tools/api/ostrivel-api"
  [ -x "$API_EXE" ] || { fail "the local web API is not built: $API_EXE (build the native preset first)"; return 1; }
  API_STATE="$WORK/api-state" API_LOG="$WORK/api.log" API_OPTIONS=("$@")
  "$API_EXE" --state "$API_STATE" --port 0 "$@" >"$API_LOG" 2>&1 &
  API_PID=$!
  at_exit "kill $API_PID; wait $API_PID"
  wait_for 10 grep -qs '^listening on ' "$API_LOG" || { fail "the API did not start: $(<"$API_LOG")"; return 1; }
  API_PORT=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$API_LOG" | head -n 1)
  export API_URL="http://127.0.0.1:$API_PORT" API_STATE API_LOG
  wait_for 10 curl -sf -o /dev/null "$API_URL/admin/stats"
}

# stop_api: the local web API dies at once, as a crashed server would (requests in flight get no
# answer); its state folder stays. restart_api: starts it again on the same port over that
# state, so it knows its credentials, but not the session tokens it issued. Its admin lists
# start empty: records of both lives are the files under $API_STATE/records.
stop_api() { kill -9 "$API_PID" 2>/dev/null; wait "$API_PID" 2>/dev/null; }
restart_api() {
  local attempt
  for attempt in 1 2 3 4 5; do
    "$API_EXE" --state "$API_STATE" --port "$API_PORT" "${API_OPTIONS[@]}" >>"$API_LOG" 2>&1 &
    API_PID=$!
    wait_for 5 curl -sf -o /dev/null "$API_URL/admin/stats" && { at_exit "kill $API_PID; wait $API_PID"; return 0; }
    stop_api
    sleep 1  # the port may still be held for a moment
  done
  fail "the local web API did not come back on port $API_PORT"; return 1
}

# api_stored_records [AGENT_ID]: every record the API stored (for that agent), in all its
# lives, in the order stored: one compact JSON body per line.
api_stored_records() { ls "$API_STATE"/records/${1:-*}/*.json 2>/dev/null | sort | xargs -r -n 1 jq -c .; }

# api_admin METHOD PATH [JSON]: calls an admin endpoint of the local web API, prints the answer.
api_admin() { curl -s -X "$1" "$API_URL/admin/$2" -H 'Content-Type: application/json' ${3:+--data-binary "$3"}; }
# api_new_credential [AGENT_ID]: issues a credential as an approved claim would; prints
# {"secret","tokenId","agentId"}.
api_new_credential() { api_admin POST credential "{\"agentId\":\"${1:-}\"}"; }
# api_approve [NONCE]: approves that registration, or every pending one.
api_approve() { api_admin POST approve "{\"nonce\":\"${1:-}\"}"; }
# api_script PATH ANSWERS_JSON: the next answers of a path, e.g.
#   api_script ingest '[{"status":503,"count":3},{"status":401}]'
api_script() { api_admin POST script "{\"path\":\"$1\",\"answers\":$2}" >/dev/null; }
# api_received [PATH]: every agent request the API answered (method, path, headers, body,
# status, connection), only those to PATH when given.
api_received() { curl -s "$API_URL/admin/received${1:+?path=$1}"; }
# api_records: the records stored, in the order received ({"agentId","file","body"}).
api_records() { curl -s "$API_URL/admin/records"; }

# run_windows PROGRAM ARGS...: runs a Windows program through cmd so that its whole exit code
# reaches $RC (the Unix exit status keeps only the low 8 bits: msiexec's 1603 would read 67).
# Output in $WORK/out and $WORK/err.
run_windows() {
  printf '@%%*\r\n@echo exit=%%errorlevel%%\r\n' >"$WORK/run-windows.cmd"
  wine cmd /c "$(winpath "$WORK/run-windows.cmd")" "$@" >"$WORK/out" 2>"$WORK/err" </dev/null
  RC=$(tr -d '\r' <"$WORK/out" | sed -n 's/^exit=//p' | tail -n 1 | grep . || echo unknown)
}
