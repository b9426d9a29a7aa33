#!/usr/bin/env bash
# Runs the tests that use real threads (those the ThreadSanitizer step of scripts/test.sh selects)
# many times in a row while three busy processes compete for the processors, and stops at the
# first failure. A real-thread test must pass under such contention, not just on an idle machine.
#
#   scripts/stress-threads.sh [-n RUNS] [-b BUILD_DIR] [-t SECONDS]
#
#   -n RUNS       runs in a row (default 50)
#   -b BUILD_DIR  a host build (default build/host); configured and built only if it is missing
#   -t SECONDS    time allowed to one test program in one run before it counts as hung (default 300)
#
# Each run starts every test program that has selected tests once, with a --gtest_filter naming
# exactly those tests, in a fresh process.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs=50
build="$repo/build/host"
limit=300
# The ThreadSanitizer step's selection (ctest -R) and the programs it builds.
pattern='Thread|RealTime|Concurren|Mutex'
programs=(test_host test_engine test_core test_control)
busyCount=3

usage()
{
    sed -n '2,13s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
    exit "$1"
}

while getopts "n:b:t:h" option; do
    case "$option" in
        n) runs="$OPTARG" ;;
        b) build="$OPTARG" ;;
        t) limit="$OPTARG" ;;
        h) usage 0 ;;
        *) usage 2 ;;
    esac
done
if ! [[ "$runs" =~ ^[1-9][0-9]*$ && "$limit" =~ ^[1-9][0-9]*$ ]]; then
    echo "stress-threads: RUNS and SECONDS must be positive whole numbers" >&2
    exit 2
fi

if [ ! -d "$build" ]; then
    echo "== $build is missing: building the host build"
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j "${TARN_JOBS:-$(nproc)}" --target "${programs[@]}"
fi

# The selected tests of each program, as gtest filters.
declare -A filters=()
selected=0
for program in "${programs[@]}"; do
    binary="$build/tests/$program"
    if [ ! -x "$binary" ]; then
        echo "stress-threads: $binary is missing; build it first" >&2
        exit 2
    fi
    mapfile -t names < <("$binary" --gtest_list_tests |
        awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }' | grep -E "$pattern" || true)
    if [ "${#names[@]}" -gt 0 ]; then
        filters[$program]="$(IFS=:; echo "${names[*]}")"
        selected=$((selected + ${#names[@]}))
    fi
done
if [ "$selected" -eq 0 ]; then
    echo "stress-threads: no test matches '$pattern' in $build" >&2
    exit 2
fi

busy=()
log="$(mktemp)"
stopBusy()
{
    for pid in "${busy[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${busy[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    busy=()
    rm -f "$log"
}
trap stopBusy EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for ((i = 0; i < busyCount; ++i)); do
    sh -c 'while :; do :; done' &
    busy+=("$!")
done

echo "== $selected real-thread tests, $runs runs, $busyCount busy processes beside them"
start=$SECONDS
for ((run = 1; run <= runs; ++run)); do
    for program in "${programs[@]}"; do
        [ -n "${filters[$program]:-}" ] || continue
        status=0
        timeout -k 10 "$limit" "$build/tests/$program" --gtest_filter="${filters[$program]}" >"$log" 2>&1 ||
            status=$?
        if [ "$status" -ne 0 ]; then
            # The tests gtest reports failed; else (a crash or a hang) the one that never finished.
            failed="$(sed -n 's/^\[  FAILED  \] \([^ ]*\) (.*/\1/p' "$log" | awk '!seen[$0]++' | paste -sd ' ' -)"
            if [ -z "$failed" ]; then
                failed="$(awk '/^\[ RUN      \]/ { test = $4 } /^\[       OK \]/ { test = "" } END { print test }' "$log")"
                [ "$status" -eq 124 ] && failed="$failed (hung: killed after ${limit} s)"
                [ "$status" -ne 124 ] && failed="$failed (exit status $status)"
            fi
            tail -n 40 "$log"
            echo "stress-threads: FAILED in run $run of $runs: $program: $failed ($((SECONDS - start)) s)"
            exit 1
        fi
    done
    echo "run $run passed ($((SECONDS - start)) s)"
done
echo "stress-threads: $runs of $runs runs passed: $selected real-thread tests each, $busyCount busy processes, $((SECONDS - start)) s"
