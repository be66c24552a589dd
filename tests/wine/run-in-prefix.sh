#!/usr/bin/env bash
# Runs a Windows program under Wine in a fresh copy of the prepared prefix, then removes it.
# Used as the cross-compiling emulator, so CTest runs Windows test programs through it.
set -uo pipefail
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-wine.XXXXXX")
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
cp -a "$1" "$work/prefix"
shift
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine "$@"
