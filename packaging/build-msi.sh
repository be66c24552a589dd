#!/usr/bin/env bash
# Builds the administrators' MSI package from ostrivel.wxs with wixl, then writes the two things
# wixl 0.101 cannot express, and checks the result.
#   build-msi.sh VERSION AGENT_EXE OUTPUT_MSI
# VERSION is the agent's four-part version (the CMake project version), e.g. 2026.1.0.10.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 VERSION AGENT_EXE OUTPUT_MSI" >&2
  exit 2
fi
version=$1
agent_exe=$2
output=$3
here=$(cd "$(dirname "$0")" && pwd)

# Windows Installer compares only the first three fields of a product version and allows at most
# 255.255.65535, so 2026.1.0.10 and 2026.1.0.11 would look like the same product and never
# upgrade. The package's version keeps the order of the agent's versions:
# YEAR.MINOR.PATCH.BUILD -> (YEAR-2000).MINOR.(PATCH*1000+BUILD), so 2026.1.0.10 -> 26.1.10.
if ! [[ $version =~ ^([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)$ ]]; then
  echo "$0: version '$version' is not YEAR.MINOR.PATCH.BUILD" >&2
  exit 2
fi
year=$((10#${BASH_REMATCH[1]}))
minor=$((10#${BASH_REMATCH[2]}))
patch=$((10#${BASH_REMATCH[3]}))
build=$((10#${BASH_REMATCH[4]}))
product_major=$((year - 2000))
product_build=$((patch * 1000 + build))
if [ $product_major -lt 0 ] || [ $product_major -gt 255 ] || [ $minor -gt 255 ] || [ $build -gt 999 ] ||
   [ $product_build -gt 65535 ]; then
  echo "$0: version '$version' has no Windows Installer product version (255.255.65535 at most)" >&2
  exit 2
fi
product_version="$product_major.$minor.$product_build"

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
msi="$work/ostrivel.msi"

# wixl finds files only relative to the folder it runs in. Its warnings (an attribute it does not
# know, a reference it cannot resolve) mean a package that differs from the source: they fail the
# build.
ln -s "$(realpath "$agent_exe")" "$work/ostrivel.exe"
if ! (cd "$work" && wixl --arch x64 -D "AgentVersion=$version" -D "ProductVersion=$product_version" \
        -o "$msi" "$here/ostrivel.wxs") 2>"$work/wixl.err" || [ -s "$work/wixl.err" ]; then
  cat "$work/wixl.err" >&2
  echo "$0: wixl failed or warned" >&2
  exit 1
fi

sql() { msibuild "$msi" -q "$1"; }
# wixl knows no Execute="rollback" (it writes a plain deferred action): mark the action undoing a
# failed "-install" as a rollback action (in-script 0x400 + rollback 0x100 on top of its type).
sql "UPDATE \`CustomAction\` SET \`Type\` = 3410 WHERE \`Action\` = 'AgentInstallRollback' AND \`Type\` = 3154"
# wixl sets "no impersonation" on every action it writes; it means nothing on one that only sets a
# property, and validators flag it.
sql "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Action\` = 'SetInstallLocation' AND \`Type\` = 2099"
# wixl knows no AllowSameVersionUpgrades: without it a rebuilt package of the same version (a new
# ProductCode) would install beside the one in place. This row finds that one for removal too.
upgrade_code=$(msiinfo export "$msi" Property | tr -d '\r' | awk -F'\t' '$1 == "UpgradeCode" { print $2 }')
sql "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMin\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) \
     VALUES ('$upgrade_code', '$product_version', '$product_version', 769, 'WIX_UPGRADE_DETECTED')"
# A failed "-install" ends the installation with error 1722, whose built-in text only says that a
# program did not finish; wixl has no UI element to give it ours ([3] is the program, [4] its
# arguments). No other action of the package can raise it: the others ignore their result.
install_failed="Ostrivel could not install and start its service ([3] [4] failed), so the installation was"
install_failed+=" rolled back. An Ostrivel service disabled by policy is a usual cause; the log of the"
install_failed+=" installation (msiexec /l*v) has the details."
sql "INSERT INTO \`Error\` (\`Error\`, \`Message\`) VALUES (1722, '$install_failed')"
# wixl writes no file version, and an unversioned file is replaced only when nobody touched it;
# with its version the executable follows the versioned-file rules, newer replaces older.
sql "UPDATE \`File\` SET \`Version\` = '$version' WHERE \`File\` = 'AgentExe'"

# What the package relies on, read back from the tables.
check() {  # check TABLE LINE: the exported table holds LINE (tab-separated fields)
  if ! msiinfo export "$msi" "$1" | tr -d '\r' | grep -qxF -- "$2"; then
    echo "$0: table $1 lacks: $2" >&2
    exit 1
  fi
}
tab=$'\t'
check CustomAction "AgentInstall${tab}3090${tab}AgentExe${tab}-install${tab}"
check CustomAction "AgentUninstall${tab}3154${tab}AgentExe${tab}-uninstall${tab}"
check CustomAction "AgentInstallRollback${tab}3410${tab}AgentExe${tab}-uninstall${tab}"
check CustomAction "SetInstallLocation${tab}51${tab}ARPINSTALLLOCATION${tab}[INSTALLDIR]${tab}"
check Upgrade "$upgrade_code${tab}$product_version${tab}$product_version${tab}${tab}769${tab}${tab}WIX_UPGRADE_DETECTED"
check Error "1722${tab}$install_failed"
check File "AgentExe${tab}AgentExecutable${tab}ostrivel.exe${tab}$(stat -c %s "$agent_exe")${tab}$version${tab}${tab}512${tab}1"

mv "$msi" "$output"
