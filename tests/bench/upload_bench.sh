#!/usr/bin/env bash
# Upload benchmark, run by hand: outbox files delivered under Wine through FileUploader,
# ApiClient and HttpRequestWindows to the local web API on loopback. Prints files per second and
# how many TCP connections carried them. Needs the windows preset built, and the local web API
# from the bench preset (optimised; else the native one):
#   cmake --build --preset windows && cmake --build --preset bench --target ostrivel-api
#   bash tests/bench/upload_bench.sh [FILES]     # 2000 by default
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
files=${1:-2000}
export OSTRIVEL_SOURCE_DIR="$root" OSTRIVEL_BUILD_DIR="$root/build/windows"
export OSTRIVEL_WINE_TEMPLATE="$root/build/windows/wine/template"
if [ -z "${OSTRIVEL_NATIVE_BUILD_DIR:-}" ]; then
  OSTRIVEL_NATIVE_BUILD_DIR="$root/build/native"
  if [ -x "$root/build/bench/tools/api/ostrivel-api" ]; then OSTRIVEL_NATIVE_BUILD_DIR="$root/build/bench"; fi
fi
export OSTRIVEL_NATIVE_BUILD_DIR
bash "$root/tests/wine/make-prefix.sh" "$OSTRIVEL_WINE_TEMPLATE" || exit 1
source "$root/tests/wine/lib.sh"

start_api || finish
echo "local web API: $OSTRIVEL_NATIVE_BUILD_DIR/tools/api/ostrivel-api at $API_URL"
secret=$(api_new_credential | jq -r .secret)
wine "$OSTRIVEL_BUILD_DIR/tests/delivery/upload_bench_windows.exe" "$API_URL" "$secret" "$files" </dev/null
RC=$?
expect_eq "$RC" 0 "exit code of upload_bench_windows"
stats=$(api_admin GET stats)
echo "requests $(jq .requests <<<"$stats"), records stored $(jq .records <<<"$stats"), connections $(jq .connections <<<"$stats")"
expect_eq "$(jq .records <<<"$stats")" "$files" "records stored"
finish
