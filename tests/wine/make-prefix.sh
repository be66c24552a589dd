#!/usr/bin/env bash
# Prepares the Wine prefix every Wine test copies: created once per build folder, reused after.
set -euo pipefail
dir=$1
mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9
[ ! -f "$dir/.ready" ] || exit 0
rm -rf "$dir"
# No Mono or Gecko: nothing here needs them, and their installers would wait for a click.
export WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
# A service started before wineboot has settled can fail its first start.
wineserver -w
touch "$dir/.ready"
wineserver -k >/dev/null 2>&1 || true
