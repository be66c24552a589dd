#!/usr/bin/env bash
# The built MSI package read back with msitools, for what Wine's msiexec does not show: a 64-bit
# package, the upgrade rows, the agent's verbs in the right places, and no service
# table of its own.
#   msi_tables_test.sh PACKAGE VERSION
set -uo pipefail
msi=$1
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
rows() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4 | tr '\t' '|'; }  # without the header
field() { rows "$1" | awk -F'|' -v key="$2" -v column="$3" '$1 == key { print $column }'; }

msiinfo suminfo "$msi" | grep -qx 'Template: x64;1033' || fail "not a 64-bit package"
# The lifecycle test shows the agent's verbs running; not the rollback's guard against an upgrade.
[ "$(field InstallExecuteSequence AgentInstallRollback 2)" = "NOT REMOVE AND NOT WIX_UPGRADE_DETECTED" ] ||
  fail "the rollback runs in an upgrade: $(field InstallExecuteSequence AgentInstallRollback 2)"
order="InstallInitialize RemoveExistingProducts StopServices AgentUninstall RemoveFiles InstallFiles \
AgentInstallRollback AgentInstall InstallFinalize"
actual=$(rows InstallExecuteSequence | sort -t'|' -k3n | cut -d'|' -f1 | grep -xF "${order// /$'\n'}" | paste -sd ' ')
[ "$actual" = "$order" ] || fail "actions in the order $actual"
# Older versions and other builds of this one are found and removed (1 = migrate; 769 = migrate,
# both bounds inclusive); a newer one is only detected, and stops the installation. The service
# is the agent's alone: no ServiceInstall row, no registry value, and one ServiceControl row that
# only stops it (install 0x2 + uninstall 0x20) and waits.
IFS=. read -r year minor patch build <<<"$2"
v="$((year - 2000)).$minor.$((patch * 1000 + build))" code='{7C3B5E1A-94D2-4F6B-8A0E-2D61C9F4B725}'
[ "$(rows Upgrade | LC_ALL=C sort | paste -sd ';')" = "$code|$v|$v||769||WIX_UPGRADE_DETECTED;\
$code|$v|||2||WIX_DOWNGRADE_DETECTED;$code||$v||1||WIX_UPGRADE_DETECTED" ] || fail "Upgrade rows: $(rows Upgrade)"
[ -z "$(rows ServiceInstall)$(rows Registry)" ] || fail "the package writes a service or registry values of its own"
[ "$(rows ServiceControl)" = "AgentServiceStop|Ostrivel|34||1|AgentExecutable" ] || fail "not one waited stop"

[ "$failures" -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
