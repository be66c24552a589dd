#!/usr/bin/env bash
# The built MSI package read back with msitools, for what Wine's msiexec does not show: a 64-bit
# per-machine package, the upgrade rows, the agent's verbs as elevated deferred actions in the
# right places, no service table of its own, and the version mapping of build-msi.sh.
#   msi_tables_test.sh PACKAGE VERSION
set -uo pipefail
msi=$1
version=$2
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-msi-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
tab=$'\t'

rows() { msiinfo export "${2:-$msi}" "$1" | tr -d '\r' | tail -n +4; }  # without the header
field() { rows "$1" | awk -F'\t' -v key="$2" -v column="$3" '$1 == key { print $column }'; }
expect_field() {  # expect_field TABLE KEY COLUMN EXPECTED
  local actual
  actual=$(field "$1" "$2" "$3")
  [ "$actual" = "$4" ] || fail "$1 $2 column $3: expected '$4', got '$actual'"
}

IFS=. read -r year minor patch build <<<"$version"
product_version="$((year - 2000)).$minor.$((patch * 1000 + build))"
upgrade_code="{7C3B5E1A-94D2-4F6B-8A0E-2D61C9F4B725}"

msiinfo suminfo "$msi" | grep -qx 'Template: x64;1033' || fail "not a 64-bit package"
expect_field Property ALLUSERS 2 "1"
expect_field Property UpgradeCode 2 "$upgrade_code"
expect_field Component AgentExecutable 4 "256"  # 64-bit
expect_field File AgentExe 5 "$version"

# Older versions and other builds of this one are found and removed (1 = migrate; 769 = migrate,
# both bounds inclusive); a newer one is only detected, and stops the installation.
upgrade=$(rows Upgrade)
for row in "$tab$product_version${tab}${tab}1${tab}${tab}WIX_UPGRADE_DETECTED" \
           "$product_version$tab$product_version${tab}${tab}769${tab}${tab}WIX_UPGRADE_DETECTED" \
           "$product_version${tab}${tab}${tab}2${tab}${tab}WIX_DOWNGRADE_DETECTED"; do
  grep -qxF "$upgrade_code$tab$row" <<<"$upgrade" || fail "no Upgrade row '$row' in: $upgrade"
done
[ "$(grep -c . <<<"$upgrade")" = 3 ] || fail "Upgrade rows beyond the three expected: $upgrade"
expect_field LaunchCondition "NOT WIX_DOWNGRADE_DETECTED" 2 "A newer version of Ostrivel is already installed."

# Exe on an installed file (18), deferred (0x400), not impersonated (0x800); the install checked,
# the rollback marked as such (0x100), the removal's result ignored (0x40).
expect_field CustomAction AgentInstall 2 "$((18 + 0x400 + 0x800))"
expect_field CustomAction AgentInstallRollback 2 "$((18 + 0x400 + 0x800 + 0x100 + 0x40))"
expect_field CustomAction AgentUninstall 2 "$((18 + 0x400 + 0x800 + 0x40))"
expect_field CustomAction SetInstallLocation 2 "51"

sequence() { field InstallExecuteSequence "$1" 3; }
previous=""
for action in InstallInitialize RemoveExistingProducts StopServices AgentUninstall RemoveFiles InstallFiles \
              AgentInstallRollback AgentInstall InstallFinalize; do
  if [ -z "$(sequence "$action")" ]; then
    fail "$action is not in InstallExecuteSequence"
  elif [ -n "$previous" ] && [ "$(sequence "$action")" -le "$(sequence "$previous")" ]; then
    fail "$action ($(sequence "$action")) does not come after $previous ($(sequence "$previous"))"
  fi
  previous=$action
done
expect_field InstallExecuteSequence AgentInstall 2 "NOT REMOVE"
expect_field InstallExecuteSequence AgentInstallRollback 2 "NOT REMOVE AND NOT WIX_UPGRADE_DETECTED"
expect_field InstallExecuteSequence AgentUninstall 2 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'

# The service is the agent's alone: no ServiceInstall row, no registry value, and one
# ServiceControl row that only stops it (install 0x2 + uninstall 0x20) and waits.
[ -z "$(rows ServiceInstall)$(rows Registry)" ] || fail "the package writes a service or registry values of its own"
[ "$(rows ServiceControl)" = "AgentServiceStop${tab}Ostrivel${tab}$((0x2 + 0x20))${tab}${tab}1${tab}AgentExecutable" ] ||
  fail "ServiceControl is not a single waited stop: $(rows ServiceControl)"

# The version mapping keeps the order of the agent's versions and refuses what Windows Installer
# cannot hold.
printf 'MZ' >"$work/ostrivel.exe"
mapped() {
  bash "$OSTRIVEL_SOURCE_DIR/packaging/build-msi.sh" "$1" "$work/ostrivel.exe" "$work/mapped.msi" 2>/dev/null &&
    rows Property "$work/mapped.msi" | awk -F'\t' '$1 == "ProductVersion" { print $2 }'
}
for case in 2026.1.0.10=26.1.10 2026.1.0.11=26.1.11 2026.1.1.0=26.1.1000 2026.2.0.0=26.2.0 2027.0.0.1=27.0.1; do
  got=$(mapped "${case%%=*}") || got="(refused)"
  [ "$got" = "${case##*=}" ] || fail "version ${case%%=*} became $got, not ${case##*=}"
done
for bad in 2026.1.0.1000 1999.1.0.0 2256.1.0.0 2026.256.0.0 2026.1.0; do
  if mapped "$bad" >/dev/null; then fail "version $bad was accepted"; fi
done

[ "$failures" -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
