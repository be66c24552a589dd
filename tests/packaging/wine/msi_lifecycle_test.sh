#!/usr/bin/env bash
# The MSI package under Wine's msiexec: a silent install leaves the agent's own footprint and a
# running service, a newer package replaces the installed one, an older one is refused, the
# removal that an upgrade runs keeps the agent's state, a full removal sweeps everything, and an
# install whose "-install" fails is rolled back.
#   msi_lifecycle_test.sh PACKAGE VERSION
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"
version=$2

# The service never reaches the real API from a test: a closed local port instead. This is also
# how an administrator points a test machine elsewhere (a machine-wide variable).
set_machine_env OSTRIVEL_API_URL "http://127.0.0.1:9"
# A newer build: the same agent with a few bytes appended (the loader ignores them), so the file
# that ends up installed tells which package put it there.
IFS=. read -r year minor patch build <<<"$version"
newer_version="$year.$minor.$patch.$((build + 1))"
mkdir -p "$WORK/newer"
cp "$AGENT_EXE" "$WORK/newer/ostrivel.exe"
printf 'newer build' >>"$WORK/newer/ostrivel.exe"
older=$(winpath "$1") newer=$(winpath "$WORK/newer.msi")
bash "$OSTRIVEL_SOURCE_DIR/packaging/build-msi.sh" "$newer_version" "$WORK/newer/ostrivel.exe" "$WORK/newer.msi" ||
  { fail "the newer package was not built"; finish; }

installed_exe="$WINEPREFIX/drive_c/Program Files/Ostrivel/ostrivel.exe"
exe_win='C:\Program Files\Ostrivel\ostrivel.exe'
# msiexec_run NAME CODES ARGS...: a silent msiexec with a verbose log $WORK/NAME.log, whose exit
# code must match CODES.
msiexec_run() {
  run_windows msiexec "${@:3}" /qn /l*v "$(winpath "$WORK/$1.log")"
  [[ "$RC" =~ ^($2)$ ]] || fail "msiexec for the $1 answered $RC: $(tail -n 3 "$WORK/out" "$WORK/err")"
}
# The Add/Remove Programs entries of the product: one "DisplayVersion Publisher HelpLink Comments
# InstallLocation" line each, "|" between the fields.
product_entries() {
  wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY_/ { delete v } /^ / { name = $1; $1 = ""; $2 = ""; sub(/^  /, ""); v[name] = $0 }
    /^$/ && v["DisplayName"] == "Ostrivel" { print v["DisplayVersion"] "|" v["Publisher"] "|" v["HelpLink"] "|" \
      v["Comments"] "|" v["InstallLocation"]; delete v }'
}
# The footprint the agent's own "-install" leaves, all pointing at the installed executable.
expect_installed() {  # expect_installed WHAT PACKAGED_EXE VERSION
  wait_for 20 service_is RUNNING || fail "$1: the service is not running"
  cmp -s "$installed_exe" "$2" || fail "$1: the installed ostrivel.exe is not the packaged one"
  expect_eq "$(reg_value "$SERVICE_KEY" ImagePath)|$(reg_value "$RUN_KEY" Ostrivel)|$(reg_value "$SOURCE_KEY" \
    EventMessageFile)" "\"$exe_win\" -service|\"$exe_win\" -check --silent|$exe_win" "$1: service, autostart, source"
  IFS=. read -r y m p b <<<"$3"
  expect_eq "$(product_entries)" "$((y - 2000)).$m.$((p * 1000 + b))|Velbrook|https://www.ostrivel.com/help|\
Ostrivel usage agent $3|C:\\Program Files\\Ostrivel\\" "$1: the one product entry"
}

# A silent install on a clean machine, then an upgrade.
msiexec_run install 0 /i "$older"
expect_installed "after the install" "$AGENT_EXE" "$version"
msiexec_run upgrade 0 /i "$newer"
expect_installed "after the upgrade" "$WORK/newer/ostrivel.exe" "$newer_version"

# The older package over the newer one is refused and changes nothing.
msiexec_run downgrade '1603|unknown' /i "$older"
expect_installed "after the refused downgrade" "$WORK/newer/ostrivel.exe" "$newer_version"

# The old product's removal inside a Windows upgrade (UPGRADINGPRODUCTCODE set; Wine's own
# upgrade never sets it) keeps the service with its state, the autostart value, the event source
# and the data folder for the new executable. Windows Installer waits for the service to stop
# before removing its file; Wine's does not wait, so the service is stopped first here.
echo "kept" >"$DATA_UNIX/upgrade-marker"
wine reg add "$SERVICE_KEY\\Parameters" /v UpgradeMarker /d kept /f >/dev/null 2>&1
wine "$installed_exe" -stop >/dev/null 2>&1 </dev/null
wait_for 20 service_is STOPPED || fail "the service did not stop before the upgrade's removal"
older_code=$(msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductCode" { print $2 }')
msiexec_run upgrade-removal 0 /x "$newer" "UPGRADINGPRODUCTCODE=$older_code"
[ -z "$(product_entries)" ] && [ ! -e "$installed_exe" ] || fail "the removal inside an upgrade left the product"
expect_eq "$(reg_value "$SERVICE_KEY\\Parameters" UpgradeMarker)|$(reg_value "$RUN_KEY" Ostrivel)|$(reg_value \
  "$SOURCE_KEY" EventMessageFile)" "kept|\"$exe_win\" -check --silent|$exe_win" "what the upgrade's removal keeps"
[ -f "$DATA_UNIX/upgrade-marker" ] || fail "the removal inside an upgrade deleted the data folder"
# The new product's install, the second half of that upgrade, takes the service over.
msiexec_run upgrade-install 0 /i "$older"
expect_installed "after the upgrade's install" "$AGENT_EXE" "$version"
expect_eq "$(reg_value "$SERVICE_KEY\\Parameters" UpgradeMarker)" "kept" "the service's state after the upgrade"
[ -f "$DATA_UNIX/upgrade-marker" ] || fail "the data folder did not survive the upgrade"

# A full removal sweeps everything the install made.
msiexec_run remove 0 /x "$older"
expect_eq "$(product_entries)$(reg_values "$SERVICE_KEY")$(reg_value "$RUN_KEY" Ostrivel)$(reg_values "$SOURCE_KEY")" \
  "" "product entry, service, autostart value and event source after the removal"
[ ! -e "$DATA_UNIX" ] || fail "the data folder is still there: $(find "$DATA_UNIX" | head)"
[ ! -e "$WINEPREFIX/drive_c/Program Files/Ostrivel" ] || fail "Program Files\\Ostrivel is still there"

# A failing "-install" fails the package and rolls it back. The failure is a real one: an
# "Ostrivel" service that an administrator disabled makes the agent's start of it fail. Windows
# Installer answers 1603 (fatal error during installation); Wine's msiexec 1627.
wine sc create Ostrivel binpath= 'C:\windows\system32\notepad.exe' start= disabled >/dev/null 2>&1 ||
  fail "could not create the disabled service"
msiexec_run rollback '1603|1627' /i "$older"
cat "$DATA_UNIX"/logs/ui/*.log 2>/dev/null | grep -qF "[ui] install failed" || fail "the agent's -install did not fail"
[ -z "$(product_entries)" ] && [ ! -e "$installed_exe" ] || fail "the failed installation left the product"
# The installation's rollback script holds the agent's "-uninstall", after the failed "-install".
# Windows runs that script in exact reverse order, so "-uninstall" runs while ostrivel.exe is still
# there and sweeps what the failed "-install" wrote. Wine 8 queues its own undo steps a second
# time as they run and removes the file first, so there the action finds no executable and the
# service entry, the autostart value and the event source stay behind: only the scheduling is
# checked here.
actions=$(tr -d '\r' <"$WORK/rollback.log" | sed -n 's/^Action start .*: \(AgentInstall\(Rollback\)\?\)\.$/\1/p')
[ "$(tail -n 1 <<<"$actions")" = AgentInstallRollback ] && grep -qx AgentInstall <<<"$actions" ||
  fail "the rollback script does not run the agent's -uninstall after the failed -install: $actions"
finish
