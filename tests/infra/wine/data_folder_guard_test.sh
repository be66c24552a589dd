#!/usr/bin/env bash
# The data folder's guard under Wine: the folders the service creates, read back as SDDL, and a
# data folder another account made first (world-writable, with a planted credential and record),
# taken back by the service. Wine keeps no owner or access list of its own: it derives both from
# the Unix owner and mode bits. So it shows SYSTEM's full control, and a folder of another Unix
# account as owned by Anonymous Logon (S-1-5-7); a list set on a held handle reaches only the
# owner's and group's bits, so others (Wine's rendering of Users) are left no access at all. It
# cannot show the owner Administrators, the protection of the list, or Users' rules, and it
# keeps the Unix owner when the owner is set. Links are the native tests' (Wine cannot make Windows links). Wine does enforce
# share modes, so a squatter's handle that shares nothing stands in for one on Windows.
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

SDDL="$OSTRIVEL_BUILD_DIR/tests/infra/folder_sddl.exe"
FOLDERS=("" logs logs/service logs/ui outbox history)

start_api --auto-approve || finish
set_machine_env OSTRIVEL_API_URL "$API_URL"
keep_wine_running

service_state() { wine sc query Ostrivel 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
service_is() { [ "$(service_state)" = "$1" ]; }
day_logs() { cat "$DATA_UNIX"/logs/service/*.log 2>/dev/null | tr -d '\r'; }
day_logs_say() { day_logs | grep -qF -- "$1"; }
sddl_of() { wine "$SDDL" "$(winpath "$DATA_UNIX/$1")" 2>/dev/null | tr -d '\r' | cut -d' ' -f2-; }
# Others (all but the Unix owner and group) may not write there.
others_cannot_write() { [ $(($(stat -c %a "$DATA_UNIX/$1" | cut -c3) & 2)) -eq 0 ]; }

# The service itself, not -install (whose guard would make the folder first).
wine sc create Ostrivel binpath= "\"$(winpath "$AGENT_EXE")\" -service" >/dev/null 2>&1 || fail "sc create"
wine sc start Ostrivel >/dev/null 2>&1 || fail "sc start"
wait_for 30 day_logs_say "[main] Ostrivel" || fail "the service wrote no day log"

echo "what Wine reads back of the folders the service created:"
for folder in "${FOLDERS[@]}"; do
  sddl=$(sddl_of "$folder")
  printf '  %-13s mode %s  %s\n' "${folder:-.}" "$(stat -c %a "$DATA_UNIX/$folder")" "$sddl"
  [[ "$sddl" == *"(A;OICI;FA;;;SY)"* ]] || fail "$folder: SYSTEM lacks full control: $sddl"
  others_cannot_write "$folder" || fail "$folder: others may write: $sddl"
done
if day_logs | grep -q '\[main\] .*\(taken back\|removed\)'; then
  fail "the service reported findings in a folder it made itself: $(day_logs | grep '\[main\]')"
fi
wait_for 60 test -s "$DATA_UNIX/identity.json" || fail "the service did not enrol"

# Another account was first: the whole tree is its own and anyone may write to it. It also holds
# the outbox open, sharing nothing: the guard takes it back all the same, but cannot look into
# it, so the service writes nothing there until it can.
wine sc stop Ostrivel >/dev/null 2>&1
wait_for 30 service_is STOPPED || fail "the service did not stop"
rm -rf "$DATA_UNIX"
mkdir -p "$DATA_UNIX/outbox" "$DATA_UNIX/logs/service"
printf '{\n\t"environment": "prd",\n\t"id": "planted",\n\t"name": "PC",\n\t"token": "osv_PlantedBySomeoneElse"\n}' \
  >"$DATA_UNIX/identity.json"
printf '{"kind":"events","events":[{"kind":"planted"}]}' >"$DATA_UNIX/outbox/events20260105000001.json"
chown -R nobody "$DATA_UNIX"
chmod -R a+rwX "$DATA_UNIX"
squatted=$(sddl_of "")
expect_eq "${squatted%%D:*}" "O:AN" "owner Wine shows for another account's folder"
[[ "$squatted" == *"(A;OICI;0x1301ff;;;WD)" ]] || fail "the squatted folder is not writable by everyone: $squatted"
data_win=$(winpath "$DATA_UNIX")
wine "$OSTRIVEL_BUILD_DIR/tests/infra/folder_squatter.exe" "$(winpath "$WORK/release")" "$data_win\\outbox" \
  >"$WORK/squatter" 2>&1 </dev/null &
wait_for 20 grep -qs holding "$WORK/squatter" || fail "the squatter holds nothing: $(cat "$WORK/squatter")"

wine sc start Ostrivel >/dev/null 2>&1 || fail "sc start after the squat"
wait_for 30 day_logs_say "[main] Ostrivel" || fail "the service wrote no day log after the squat"
for line in "[main] $data_win was owned by S-1-5-7, taken back" \
            "[main] $data_win\\identity.json was put there by S-1-5-7, removed" \
            "[main] $data_win\\outbox was owned by S-1-5-7, taken back" \
            "[error] [main] $data_win\\outbox could not be looked into"; do
  day_logs_say "$line" || fail "the day log lacks: $line"
done
if day_logs_say "could not be taken back"; then fail "a squatted folder was not taken back: $(day_logs | grep taken)"; fi
echo "after the take-back:"
for folder in "" outbox logs/service; do
  printf '  %-13s mode %s  %s\n' "${folder:-.}" "$(stat -c %a "$DATA_UNIX/$folder")" "$(sddl_of "$folder")"
  # Wine keeps the Unix owner (it cannot give a folder away), but others may no longer write.
  others_cannot_write "$folder" || fail "$folder: others may still write"
done
wait_for 60 day_logs_say "not queued, the outbox write failed" || fail "a record went into the unsecured outbox"

# The planted credential is gone: the service enrols with the local web API on its own.
wait_for 60 grep -qs '"token"' "$DATA_UNIX/identity.json" || fail "the service did not enrol again"
if grep -qF PlantedBySomeoneElse "$DATA_UNIX/identity.json" 2>/dev/null; then
  fail "the planted credential is in use"
fi
# The squatter lets go: the guard's next pass looks into the outbox, and records flow again.
touch "$WORK/release"
wait_for 120 day_logs_say "[main] $data_win\\outbox\\events20260105000001.json was put there by S-1-5-7, removed" ||
  fail "the planted record was not removed once the outbox could be looked into"
has_days_record() { api_records | jq -e '[.[] | .body | fromjson? | select(.kind == "days")] | length > 0' >/dev/null; }
wait_for 120 has_days_record || fail "no record of the service reached the local web API"
if api_records | grep -qF planted; then fail "the planted record was sent"; fi

# No credential in any log, and the uninstall sweeps the folder.
if grep -rqF -- "osv_" "$DATA_UNIX/logs"; then fail "a credential was written to a log"; fi
run_agent -uninstall
expect_eq "$RC" 0 "exit code of -uninstall"
[ ! -e "$DATA_UNIX" ] || fail "the data folder is still there: $(find "$DATA_UNIX" | head)"

finish
