#!/usr/bin/env bash
# Checks that tarnpanel.exe runs on a bare Windows x64: a PE32+ image of the GUI subsystem that
# imports only from system DLLs (kernel32, user32, gdi32, comctl32, shell32, setupapi, advapi32),
# so no C or C++ run-time DLL (msvcrt, libstdc++, libgcc, winpthread) has to travel with it.
# Usage: scripts/check-panel-imports.sh [-q] <path-to-tarnpanel.exe>
# Exits 0 when the checks pass and prints the DLLs imported (not with -q); otherwise names each
# failure and exits 1.
set -euo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
allowed_modules=(kernel32.dll user32.dll gdi32.dll comctl32.dll shell32.dll setupapi.dll advapi32.dll)

quiet=false
if [[ ${1:-} == -q ]]; then
    quiet=true
    shift
fi
if [[ $# -ne 1 ]]; then
    echo "usage: $0 [-q] <path-to-tarnpanel.exe>" >&2
    exit 2
fi
image=$1
if [[ ! -f $image ]]; then
    echo "$image: no such file" >&2
    exit 1
fi
if ! headers=$("$OBJDUMP" -p "$image" 2>&1); then
    echo "$image: not a PE image objdump can read: $headers" >&2
    exit 1
fi

failures=0
fail() {
    echo "$image: $*" >&2
    failures=$((failures + 1))
}

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE32+ x86-64 image"
# Subsystem 2 is the Windows GUI subsystem.
subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$headers")
[[ $subsystem == 00000002 ]] || fail "subsystem is ${subsystem:-missing}, not 2 (Windows GUI)"

mapfile -t modules < <(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers" | sort -u)
(( ${#modules[@]} > 0 )) || fail "imports no DLL at all"
for module in "${modules[@]}"; do
    allowed=false
    for candidate in "${allowed_modules[@]}"; do
        [[ $module == "$candidate" ]] && allowed=true
    done
    $allowed || fail "imports from $module, which is not a system DLL of the allowed set"
done

if (( failures > 0 )); then
    exit 1
fi
$quiet || printf '%s\n' "${modules[@]}"
