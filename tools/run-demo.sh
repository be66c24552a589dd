#!/usr/bin/env bash
# Runs the agent's main job on this Linux machine: ostrivel.exe -run under Wine, with its data
# folder under build/demo. Installs and builds what is missing first. Stop it with Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows --target ostrivel

demo="$root/build/demo"
mkdir -p "$demo"
bash tests/wine/make-prefix.sh "$root/build/windows/wine/template"
rm -rf "$demo/prefix"
cp -a "$root/build/windows/wine/template" "$demo/prefix"
export WINEPREFIX="$demo/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT INT TERM

echo "data folder: $demo/prefix/drive_c/ProgramData/Ostrivel"
wine "$root/build/windows/ostrivel.exe" -run || true
