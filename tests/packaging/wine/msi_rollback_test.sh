#!/usr/bin/env bash
# A failing "-install" fails the package and rolls it back. The failure is a real one: an
# "Ostrivel" service that an administrator disabled makes the agent's start of it fail.
#   msi_rollback_test.sh PACKAGE
source "$OSTRIVEL_SOURCE_DIR/tests/wine/lib.sh"

package=$1
set_machine_env OSTRIVEL_API_URL "http://127.0.0.1:9"
cp "$package" "$WORK/ostrivel.msi"

wine sc create Ostrivel binpath= 'C:\windows\system32\notepad.exe' start= disabled >/dev/null 2>&1 ||
  { fail "could not create the disabled service"; finish; }

run_windows msiexec /i "$(winpath "$WORK/ostrivel.msi")" /qn /l*v "$(winpath "$WORK/install.log")"
# Windows Installer answers 1603 (fatal error during installation); Wine's msiexec 1627.
[ "$RC" = 1603 ] || [ "$RC" = 1627 ] || fail "msiexec /i answered $RC, not a failed installation"
# It was the agent's own "-install" that failed (its log line; Wine leaves the log, see below).
cat "$DATA_UNIX"/logs/ui/*.log 2>/dev/null | grep -qF "[ui] install failed" || fail "the agent's -install did not fail"

# Nothing of the package stays: no product entry, no file under Program Files.
if wine reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
  grep -qE '^ +DisplayName +REG_SZ +Ostrivel$'; then
  fail "the failed installation left a product entry"
fi
[ ! -e "$WINEPREFIX/drive_c/Program Files/Ostrivel/ostrivel.exe" ] || fail "the failed installation left ostrivel.exe"

# The installation's rollback script holds the agent's "-uninstall", after the failed "-install".
# Windows runs that script in exact reverse order, so "-uninstall" runs while ostrivel.exe is still
# there and sweeps what the failed "-install" wrote. Wine 8 queues its own undo steps a second
# time as they run and removes the file first, so there the action finds no executable and the
# service entry, the autostart value and the event source stay behind: only the scheduling is
# checked here.
tr -d '\r' <"$WORK/install.log" >"$WORK/install.txt"
failed_at=$(grep -n 'Action start .*: AgentInstall\.$' "$WORK/install.txt" | tail -n 1 | cut -d: -f1)
rolled_at=$(grep -n 'Action start .*: AgentInstallRollback\.$' "$WORK/install.txt" | tail -n 1 | cut -d: -f1)
[ -n "$failed_at" ] && [ -n "$rolled_at" ] && [ "$rolled_at" -gt "$failed_at" ] ||
  fail "the rollback script does not run the agent's -uninstall after the failed -install"

finish
