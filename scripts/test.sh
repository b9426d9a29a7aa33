#!/usr/bin/env bash
# Runs every test of the project on a fresh Debian 12 machine (as root): installs what is
# missing, builds the host stand-in with the driver and runs its tests, builds the sanitizer
# variants and runs them (ThreadSanitizer on the tests that use real threads), then
# cross-builds the Windows driver image and checks it. TARN_SKIP_SANITIZERS=1 skips the
# sanitizer builds for a quick local run.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TARN_BUILD_DIR:-$repo/build}"
jobs="${TARN_JOBS:-$(nproc)}"

"$repo/scripts/install-deps.sh"

echo "== host build and tests"
cmake -S "$repo" -B "$build/host" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build/host" -j "$jobs"
ctest --test-dir "$build/host" -j "$jobs" --output-on-failure

if [ "${TARN_SKIP_SANITIZERS:-0}" != "1" ]; then
    echo "== address and undefined-behaviour sanitizer build and tests"
    cmake -S "$repo" -B "$build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=address
    cmake --build "$build/asan" -j "$jobs"
    ctest --test-dir "$build/asan" -j "$jobs" --output-on-failure

    echo "== thread sanitizer build and the tests that run real threads"
    cmake -S "$repo" -B "$build/tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=thread
    cmake --build "$build/tsan" -j "$jobs" --target test_host test_engine test_core test_control
    ctest --test-dir "$build/tsan" -j "$jobs" --output-on-failure -R "Thread|RealTime|Concurren|Mutex"
fi

echo "== Windows cross build"
"$repo/scripts/build-windows.sh" "$build/windows"
