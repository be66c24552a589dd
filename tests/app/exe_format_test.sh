#!/usr/bin/env bash
# ostrivel.exe is a GUI program with no MinGW DLL to carry, a version resource, a message
# table for the event log and an asInvoker manifest.
set -uo pipefail
exe="$1"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
headers=$(x86_64-w64-mingw32-objdump -p "$exe")
grep -qE "^Subsystem[[:space:]]+00000002" <<<"$headers" || fail "subsystem is not Windows GUI (2)"

# Imports at start: known DLLs only, which the loader always takes from System32 (and ntdll,
# always loaded first). Every other library is loaded on first use, after the very first call,
# SetDefaultDllDirectories, has limited the search to System32: a DLL planted beside the
# executable (a Downloads folder) is never loaded, by a service running as LocalSystem least of all.
known='^(kernel32|advapi32|user32|gdi32|shell32|shlwapi|ole32|oleaut32|combase|rpcrt4|sechost|ws2_32|msvcrt|ntdll)\.dll$'
others=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | grep -vE "$known")
[ -z "$others" ] || fail "imports at start DLLs that are not known DLLs: $others"
grep -qE "[[:space:]]SetDefaultDllDirectories$" <<<"$headers" || fail "SetDefaultDllDirectories is not imported"

strings -el "$exe" | grep -qx "2026.1.0.10" || fail "no version 2026.1.0.10 in the version resource"
grep -qa 'level="asInvoker"' "$exe" || fail "no asInvoker manifest"
# The event source's message file: a message table (resource type 11) whose one text is "%1",
# so Event Viewer shows the agent's line as it is.
grep -qE "^[0-9a-f]+   Entry: ID: 0x00000b," <<<"$headers" || fail "no message table in the resources"
strings -el -n 2 "$exe" | grep -qx "%1" || fail "the message table lacks the text %1"
[ "$failures" -eq 0 ] && echo "all checks passed"
exit $((failures > 0))
