#!/usr/bin/env bash
# Prepares the Wine prefix every Wine test copies: created once per build folder, reused after.
set -euo pipefail

dir=$1
mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9

if [ -f "$dir/.ready" ]; then
  exit 0
fi
rm -rf "$dir"

export WINEPREFIX="$dir" WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would wait for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
wineboot -i >/dev/null 2>&1
# A service started before wineboot has settled can fail its first start.
wineserver -w
touch "$dir/.ready"
wineserver -k >/dev/null 2>&1 || true
