#!/usr/bin/env bash
# Runs a Windows program under Wine in a fresh copy of the prepared prefix, then removes it.
# Used as the cross-compiling emulator, so CTest runs Windows test programs through it.
set -uo pipefail

template=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/ostrivel-wine.XXXXXX")
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

cp -a "$template" "$work/prefix"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Test programs that want a data folder of their own find one here.
mkdir -p "$work/data"
export OSTRIVEL_TEST_DIR="Z:${work//\//\\}\\data"

wine "$@"
