#!/usr/bin/env bash
# The built MSI package read back with msitools: a per-machine 64-bit product carrying this
# build's ostrivel.exe, a major upgrade, the agent's own verbs as deferred elevated actions in the
# right places, and no service table of its own. Then the version mapping of build-msi.sh.
#   msi_tables_test.sh PACKAGE VERSION AGENT_EXE
set -uo pipefail
msi=$1
version=$2
agent_exe=$3
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-msi-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
tab=$'\t'

table() { msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4; }  # rows only, without the header
field() {  # field TABLE KEY COLUMN: one column of the row whose first column is KEY
  table "$1" | awk -F'\t' -v key="$2" -v column="$3" '$1 == key { print $column }'
}
expect_field() {  # expect_field TABLE KEY COLUMN EXPECTED
  local actual
  actual=$(field "$1" "$2" "$3")
  [ "$actual" = "$4" ] || fail "$1 $2 column $3: expected '$4', got '$actual'"
}

IFS=. read -r year minor patch build <<<"$version"
product_version="$((year - 2000)).$minor.$((patch * 1000 + build))"

suminfo=$(msiinfo suminfo "$msi")
grep -qx 'Template: x64;1033' <<<"$suminfo" || fail "not a 64-bit package: $(grep Template <<<"$suminfo")"
grep -qx 'Author: Velbrook' <<<"$suminfo" || fail "author is not Velbrook"

expect_field Property ProductName 2 "Ostrivel"
expect_field Property Manufacturer 2 "Velbrook"
expect_field Property ProductVersion 2 "$product_version"
expect_field Property UpgradeCode 2 "{7C3B5E1A-94D2-4F6B-8A0E-2D61C9F4B725}"
expect_field Property ALLUSERS 2 "1"
expect_field Property ARPHELPLINK 2 "https://www.ostrivel.com/help"
expect_field Property ARPCOMMENTS 2 "Ostrivel usage agent $version"

# Program Files\Ostrivel\ostrivel.exe in a 64-bit component, with the agent's file version, and
# the very bytes of this build.
expect_field Directory INSTALLDIR 2 "ProgramFiles64Folder"
expect_field Directory INSTALLDIR 3 "Ostrivel"
expect_field Component AgentExecutable 4 "256"
expect_field File AgentExe 3 "ostrivel.exe"
expect_field File AgentExe 5 "$version"
mkdir -p "$work/extract"
(cd "$work/extract" && msiextract "$msi" >/dev/null) || fail "msiextract failed"
packed=$(find "$work/extract" -name ostrivel.exe | head -n 1)
[ -n "$packed" ] && cmp -s "$packed" "$agent_exe" || fail "the packaged ostrivel.exe is not this build's"

# A major upgrade: older versions and other builds of this one are found and removed, a newer one
# stops the installation (no-version-min 0x1 migrate; 769 = migrate + min and max inclusive).
upgrade=$(table Upgrade)
grep -qxF "{7C3B5E1A-94D2-4F6B-8A0E-2D61C9F4B725}${tab}${tab}$product_version${tab}${tab}1${tab}${tab}WIX_UPGRADE_DETECTED" <<<"$upgrade" ||
  fail "no Upgrade row finding older versions: $upgrade"
grep -qxF "{7C3B5E1A-94D2-4F6B-8A0E-2D61C9F4B725}${tab}$product_version${tab}${tab}${tab}2${tab}${tab}WIX_DOWNGRADE_DETECTED" <<<"$upgrade" ||
  fail "no Upgrade row detecting newer versions: $upgrade"
grep -qxF "{7C3B5E1A-94D2-4F6B-8A0E-2D61C9F4B725}${tab}$product_version${tab}$product_version${tab}${tab}769${tab}${tab}WIX_UPGRADE_DETECTED" <<<"$upgrade" ||
  fail "no Upgrade row finding a rebuilt package of the same version: $upgrade"
expect_field LaunchCondition "NOT WIX_DOWNGRADE_DETECTED" 2 "A newer version of Ostrivel is already installed."

# The agent's verbs on its installed file: deferred (0x400), not impersonated (0x800), the
# install checked, the rollback marked as such (0x100), the removal's result ignored (0x40).
expect_field CustomAction AgentInstall 2 "$((18 + 0x400 + 0x800))"
expect_field CustomAction AgentInstall 4 "-install"
expect_field CustomAction AgentInstallRollback 2 "$((18 + 0x400 + 0x800 + 0x100 + 0x40))"
expect_field CustomAction AgentInstallRollback 4 "-uninstall"
expect_field CustomAction AgentUninstall 2 "$((18 + 0x400 + 0x800 + 0x40))"
expect_field CustomAction AgentUninstall 4 "-uninstall"
for action in AgentInstall AgentInstallRollback AgentUninstall; do
  expect_field CustomAction "$action" 3 "AgentExe"
done

# Where and when they run.
sequence() { field InstallExecuteSequence "$1" 3; }
expect_order() {  # expect_order ACTION... : each runs after the one before it
  local previous="" action
  for action in "$@"; do
    [ -n "$(sequence "$action")" ] || { fail "$action is not in InstallExecuteSequence"; return; }
    if [ -n "$previous" ] && [ "$(sequence "$action")" -le "$(sequence "$previous")" ]; then
      fail "$action ($(sequence "$action")) does not run after $previous ($(sequence "$previous"))"
    fi
    previous=$action
  done
}
expect_order InstallInitialize RemoveExistingProducts StopServices AgentUninstall RemoveFiles InstallFiles \
  AgentInstallRollback AgentInstall InstallFinalize
expect_field InstallExecuteSequence AgentInstall 2 "NOT REMOVE"
expect_field InstallExecuteSequence AgentInstallRollback 2 "NOT REMOVE AND NOT WIX_UPGRADE_DETECTED"
expect_field InstallExecuteSequence AgentUninstall 2 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'
[ "$(table InstallExecuteSequence | grep -c "^RemoveExistingProducts$tab")" = 1 ] ||
  fail "RemoveExistingProducts is sequenced more than once"

# The service is the agent's alone: no ServiceInstall row, and the one ServiceControl row only
# stops it (install stop 0x2 + uninstall stop 0x20), waiting.
[ -z "$(table ServiceInstall)" ] || fail "the package installs a service of its own: $(table ServiceInstall)"
expect_field ServiceControl AgentServiceStop 2 "Ostrivel"
expect_field ServiceControl AgentServiceStop 3 "$((0x2 + 0x20))"
expect_field ServiceControl AgentServiceStop 5 "1"
[ "$(table ServiceControl | grep -c .)" = 1 ] || fail "more than one ServiceControl row"
[ -z "$(table Registry)" ] || fail "the package writes registry values of its own: $(table Registry)"

# The version mapping keeps the order of the agent's versions and refuses what Windows Installer
# cannot hold.
dummy="$work/ostrivel.exe"
printf 'MZ' >"$dummy"
mapped() {
  bash "$OSTRIVEL_SOURCE_DIR/packaging/build-msi.sh" "$1" "$dummy" "$work/mapped.msi" 2>/dev/null || return 1
  msiinfo export "$work/mapped.msi" Property | tr -d '\r' | awk -F'\t' '$1 == "ProductVersion" { print $2 }'
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
