#!/usr/bin/env bash
# Cross-builds tarnpanel.exe with MinGW-w64 (warnings are errors) and checks that it imports from
# system DLLs only; with --wine it then runs the panel's Wine tests (tests/wine/run.sh) on a
# virtual X display.
# Usage: scripts/build-panel.sh [--wine] [build-dir]     (default: build/windows in the repository)
# Installs what is missing with apt-get (needs root): the cross compiler, CMake and Ninja, and
# with --wine also wine64, xvfb and xauth, and ImageMagick and x11-apps for the screenshot.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
run_wine=false
if [[ ${1:-} == --wine ]]; then
    run_wine=true
    shift
fi
build_dir=${1:-$repo/build/windows}

# Installs the Debian packages whose command is missing: pairs of command and package.
install_missing() {
    local missing=()
    while (( $# > 0 )); do
        command -v "$1" >/dev/null || missing+=("$2")
        shift 2
    done
    (( ${#missing[@]} > 0 )) || return 0
    echo "Installing ${missing[*]}"
    if (( EUID != 0 )); then
        echo "apt-get needs root: run as root, or install ${missing[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

install_missing x86_64-w64-mingw32-g++-win32 g++-mingw-w64-x86-64 x86_64-w64-mingw32-objdump binutils-mingw-w64-x86-64 \
    cmake cmake ninja ninja-build
cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$build_dir" --target tarnpanel_check -- -j2
panel=$build_dir/ctlpan/tarnpanel.exe
echo "tarnpanel.exe imports from: $("$repo/scripts/check-panel-imports.sh" "$panel" | tr '\n' ' ')"

# The import check must be able to fail: an ordinary MinGW-w64 program needs msvcrt.dll, and a
# console program is the wrong subsystem.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#include <stdio.h>\nint main(void) { puts("x"); return 0; }\n' >"$work/ordinary.c"
x86_64-w64-mingw32-gcc-win32 -mwindows -o "$work/ordinary.exe" "$work/ordinary.c"
x86_64-w64-mingw32-gcc-win32 -mconsole -o "$work/console.exe" "$work/ordinary.c"
for bad in "$work/ordinary.exe:msvcrt.dll" "$work/console.exe:subsystem"; do
    image=${bad%%:*}
    reason=${bad#*:}
    if output=$("$repo/scripts/check-panel-imports.sh" -q "$image" 2>&1); then
        echo "check-panel-imports.sh accepted $(basename "$image"), which it must refuse" >&2
        exit 1
    fi
    grep -q "$reason" <<<"$output" || { echo "check-panel-imports.sh refused $(basename "$image") without naming $reason: $output" >&2; exit 1; }
done

if $run_wine; then
    install_missing /usr/lib/wine/wine64 wine64 xvfb-run xvfb xauth xauth /usr/bin/convert imagemagick xwd x11-apps
    "$repo/tests/wine/run.sh" "$panel"
fi
