#!/usr/bin/env bash
# The MSI package under Wine's msiexec: a silent install leaves the agent's own footprint and a
# running service, a rebuilt or newer package replaces the installed one, an older one is refused,
# the removal that an upgrade runs keeps the agent's state, and a full removal sweeps everything.
#   msi_lifecycle_test.sh PACKAGE VERSION
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

package=$1
version=$2

# The service never reaches the real API from a test: a closed local port instead. This is also
# how an administrator points a test machine elsewhere (a machine-wide variable).
api_url="http://127.0.0.1:9"
set_machine_env OSTRIVEL_API_URL "$api_url"

# A newer build: the same agent with a few bytes appended (the loader ignores them), so the file
# that ends up installed tells which package put it there.
IFS=. read -r year minor patch build <<<"$version"
newer_version="$year.$minor.$patch.$((build + 1))"
mkdir -p "$WORK/newer"
cp "$AGENT_EXE" "$WORK/newer/ostrivel.exe"
printf 'newer build' >>"$WORK/newer/ostrivel.exe"
older_msi="$WORK/ostrivel-$version.msi"
newer_msi="$WORK/ostrivel-$newer_version.msi"
cp "$package" "$older_msi"
bash "$OSTRIVEL_SOURCE_DIR/packaging/build-msi.sh" "$newer_version" "$WORK/newer/ostrivel.exe" "$newer_msi" ||
  { fail "the newer package was not built"; finish; }
product_version() { IFS=. read -r y m p b <<<"$1"; echo "$((y - 2000)).$m.$((p * 1000 + b))"; }

installed_exe="$WINEPREFIX/drive_c/Program Files/Ostrivel/ostrivel.exe"
installed_exe_win='C:\Program Files\Ostrivel\ostrivel.exe'
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Ostrivel'
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Ostrivel'
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'

# msiexec_run NAME ARGS...: a silent msiexec with a verbose log $WORK/NAME.log; code in $RC.
msiexec_run() {
  local name=$1
  shift
  run_windows msiexec "$@" /qn /l*v "$(winpath "$WORK/$name.log")"
}
reg_data() {  # reg_data KEY NAME: the data of a value of any type, nothing when absent
  wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^  /, ""); print }'
}
service_state() { wine sc query Ostrivel 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4 }'; }
service_is() { [ "$(service_state)" = "$1" ]; }
# The Add/Remove Programs entries of the product: one "key|version" line each.
product_entries() {
  wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY_/ { key = $0; name = ""; version = "" }
    $1 == "DisplayName" { $1 = ""; $2 = ""; sub(/^  /, ""); name = $0 }
    $1 == "DisplayVersion" { version = $3 }
    /^$/ && key != "" { if (name == "Ostrivel") print key "|" version; key = "" }'
}
service_log_says() { grep -qF -- "$1" "$DATA_UNIX"/logs/service/*.log 2>/dev/null; }

# The footprint the agent's own "-install" leaves, all pointing at the installed executable.
expect_installed() {  # expect_installed WHAT
  wait_for 20 service_is RUNNING || fail "$1: the service is not running (state '$(service_state)')"
  expect_eq "$(reg_data "$service_key" ImagePath)" "\"$installed_exe_win\" -service" "$1: service command line"
  expect_eq "$(reg_data "$service_key" Start)" "0x2" "$1: service start type (automatic)"
  expect_eq "$(reg_data "$service_key" ObjectName)" "LocalSystem" "$1: service account"
  [[ "$(reg_data "$service_key" Description)" == "Ostrivel usage agent - "* ]] || fail "$1: no service description"
  expect_eq "$(reg_data "$run_key" Ostrivel)" "\"$installed_exe_win\" -check --silent" "$1: autostart value"
  expect_eq "$(reg_data "$source_key" EventMessageFile)" "$installed_exe_win" "$1: event source"
}

# 1. A silent install on a clean machine.
msiexec_run install /i "$(winpath "$older_msi")"
expect_eq "$RC" 0 "exit code of msiexec /i"
[ -f "$installed_exe" ] || fail "no ostrivel.exe under Program Files\\Ostrivel"
cmp -s "$installed_exe" "$AGENT_EXE" || fail "the installed ostrivel.exe is not the packaged one"
expect_installed "after the install"
expect_contains "$(echo "$DATA_UNIX"/logs/ui/*.log)" "[ui] service installed and started"
wait_for 20 service_log_says "[main] Ostrivel $version -> $api_url" ||
  fail "the service from Program Files did not log its [main] line with the machine-wide API URL"
entries=$(product_entries)
expect_eq "$(grep -c . <<<"$entries")" 1 "product entries after the install"
entry_key=${entries%%|*}
expect_eq "${entries##*|}" "$(product_version "$version")" "DisplayVersion"
expect_eq "$(reg_data "$entry_key" Publisher)" "Velbrook" "Publisher"
expect_eq "$(reg_data "$entry_key" HelpLink)" "https://www.ostrivel.com/help" "HelpLink"
expect_eq "$(reg_data "$entry_key" Comments)" "Ostrivel usage agent $version" "Comments"
expect_eq "$(reg_data "$entry_key" InstallLocation)" 'C:\Program Files\Ostrivel\' "InstallLocation"

# 2. A rebuilt package of the same version (a new product code) replaces the installed one, and
# a newer package replaces that: one entry each time, the service on the new executable.
bash "$OSTRIVEL_SOURCE_DIR/packaging/build-msi.sh" "$version" "$AGENT_EXE" "$WORK/rebuilt.msi" ||
  fail "the rebuilt package was not built"
msiexec_run rebuilt /i "$(winpath "$WORK/rebuilt.msi")"
expect_eq "$RC" 0 "exit code of the rebuilt package's install"
expect_eq "$(product_entries | grep -c .)" 1 "product entries after the rebuilt package"
[ "$(product_entries)" != "$entries" ] || fail "the rebuilt package did not replace the installed one"
expect_installed "after the rebuilt package"

msiexec_run upgrade /i "$(winpath "$newer_msi")"
expect_eq "$RC" 0 "exit code of the upgrade"
entries=$(product_entries)
expect_eq "$(grep -c . <<<"$entries")" 1 "product entries after the upgrade"
expect_eq "${entries##*|}" "$(product_version "$newer_version")" "DisplayVersion after the upgrade"
cmp -s "$installed_exe" "$WORK/newer/ostrivel.exe" || fail "the upgrade did not install the newer ostrivel.exe"
expect_installed "after the upgrade"

# 3. The older package over the newer one is refused and changes nothing.
msiexec_run downgrade /i "$(winpath "$older_msi")"
[ "$RC" != 0 ] || fail "installing the older package over the newer one succeeded"
expect_eq "$(product_entries)" "$entries" "product entries after the refused downgrade"
cmp -s "$installed_exe" "$WORK/newer/ostrivel.exe" || fail "the refused downgrade replaced ostrivel.exe"
wait_for 20 service_is RUNNING || fail "the service is not running after the refused downgrade"

# 4. The old product's removal inside a Windows upgrade (UPGRADINGPRODUCTCODE set; Wine's own
# upgrade never sets it) keeps the service with its state, the autostart value, the event source
# and the data folder for the new executable. Windows Installer waits for the service to stop
# before removing its file; Wine's does not wait, so the service is stopped first here.
echo "kept" >"$DATA_UNIX/upgrade-marker"
reg_set "$service_key\\Parameters" UpgradeMarker kept
older_code=$(msiinfo export "$older_msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
wine "$installed_exe" -stop >/dev/null 2>&1 </dev/null
wait_for 20 service_is STOPPED || fail "the service did not stop before the upgrade's removal"
msiexec_run upgrade-removal /x "$(winpath "$newer_msi")" "UPGRADINGPRODUCTCODE=$older_code"
expect_eq "$RC" 0 "exit code of the removal inside an upgrade"
expect_eq "$(product_entries)" "" "product entries after the removal inside an upgrade"
[ ! -e "$installed_exe" ] || fail "the removal inside an upgrade left ostrivel.exe"
wine reg query "$service_key" >/dev/null 2>&1 || fail "the removal inside an upgrade deleted the service"
expect_eq "$(reg_data "$service_key\\Parameters" UpgradeMarker)" "kept" "the service's state after the upgrade's removal"
[ -n "$(reg_data "$run_key" Ostrivel)" ] || fail "the removal inside an upgrade deleted the autostart value"
wine reg query "$source_key" >/dev/null 2>&1 || fail "the removal inside an upgrade deleted the event source"
[ -f "$DATA_UNIX/upgrade-marker" ] || fail "the removal inside an upgrade deleted the data folder"
# The new product's install, the second half of that upgrade, takes the service over.
msiexec_run upgrade-install /i "$(winpath "$older_msi")"
expect_eq "$RC" 0 "exit code of the install after the upgrade's removal"
expect_installed "after the upgrade's install"
expect_eq "$(reg_data "$service_key\\Parameters" UpgradeMarker)" "kept" "the service's state after the upgrade"
[ -f "$DATA_UNIX/upgrade-marker" ] || fail "the data folder did not survive the upgrade"

# 5. A full removal sweeps everything the install made.
msiexec_run remove /x "$(winpath "$older_msi")"
expect_eq "$RC" 0 "exit code of msiexec /x"
expect_eq "$(product_entries)" "" "product entries after the removal"
if wine sc query Ostrivel >/dev/null 2>&1; then fail "the service is still there"; fi
wine reg query "$service_key" >/dev/null 2>&1 && fail "the service key is still there"
[ -z "$(reg_data "$run_key" Ostrivel)" ] || fail "the autostart value is still there"
wine reg query "$source_key" >/dev/null 2>&1 && fail "the event source is still there"
[ ! -e "$DATA_UNIX" ] || fail "the data folder is still there: $(find "$DATA_UNIX" | head)"
[ ! -e "$WINEPREFIX/drive_c/Program Files/Ostrivel" ] ||
  fail "Program Files\\Ostrivel is still there: $(ls -A "$WINEPREFIX/drive_c/Program Files/Ostrivel")"

finish
