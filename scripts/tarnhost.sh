#!/usr/bin/env bash
# Runs tarnhost (for example `scripts/tarnhost.sh loop --seconds 10 --record out.wav:48000:16:2`)
# on a fresh Debian 12 machine (as root): installs what is missing, configures the host build
# in build/host if it is not configured yet, brings tarnhost up to date (an incremental build:
# nothing to do when it is current) and runs it with the arguments given. The build talks on
# stderr only, so tarnhost's own output on stdout stays clean.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TARN_BUILD_DIR:-$repo/build}/host"
jobs="${TARN_JOBS:-$(nproc)}"

"$repo/scripts/install-deps.sh" >&2

# The same build type as scripts/test.sh, so the two share one build directory.
if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >&2
fi
cmake --build "$build" --target tarnhost-cli -j "$jobs" >&2

exec "$build/tools/tarnhost" "$@"
