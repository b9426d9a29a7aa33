#!/usr/bin/env bash
# Cross-builds the Windows deliverables with MinGW-w64 and checks the driver image; writes the
# driver package's tarndrv.inf beside tarndrv.sys (scripts/check-inf.sh checks it).
# Usage: scripts/build-windows.sh [build-dir]     (default: build/windows in the repository)
# Installs the cross compiler, CMake and Ninja with apt-get when they are missing (needs root).
# Fails if the build warns (warnings are errors), or if tarndrv.sys is not a native kernel image
# importing only from ntoskrnl.exe, HAL.dll and portcls.sys.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:-$repo/build/windows}

required_commands=(x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-dlltool x86_64-w64-mingw32-objdump cmake ninja)
missing=()
for command in "${required_commands[@]}"; do
    command -v "$command" >/dev/null || missing+=("$command")
done
if (( ${#missing[@]} > 0 )); then
    echo "Installing the cross build tools (missing: ${missing[*]})"
    if (( EUID != 0 )); then
        echo "apt-get needs root: run as root, or install g++-mingw-w64-x86-64 cmake ninja-build" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 cmake ninja-build
fi

cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake"
cmake --build "$build_dir" -- -j2
"$repo/scripts/check-windows-image.sh" "$build_dir/tarndrv.sys"
"$repo/scripts/make-inf.sh" "$build_dir/tarndrv.inf"
# The check itself must be able to fail: run it on images that each break one rule.
"$repo/scripts/test-check-windows-image.sh"
