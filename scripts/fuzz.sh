#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (address and undefined sanitizers) and runs
# one of them, adding what it finds to its corpus. The test suite replays the corpus; this
# script is the long run, not part of CI.
#   scripts/fuzz.sh [-t TARGET] [-n RUNS] [-j JOBS] [-b BUILD_DIR]
# TARGET is a fuzz/*_fuzz.cpp name (default format_fuzz), RUNS the executions (default
# 10000000), JOBS the parallel fuzzing processes (default 1; the runs are shared among them).
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
target=format_fuzz
runs=10000000
jobs=1
build="$repo/build/fuzz"
while getopts "t:n:j:b:" option; do
    case "$option" in
        t) target="$OPTARG" ;;
        n) runs="$OPTARG" ;;
        j) jobs="$OPTARG" ;;
        b) build="$OPTARG" ;;
        *) sed -n '2,8p' "$0"; exit 2 ;;
    esac
done

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=fuzzer \
    > /dev/null
cmake --build "$build" --target "$target"

corpus="$repo/fuzz/corpus/$target"
mkdir -p "$corpus" "$build/$target-new" "$build/$target-crashes"
# New inputs go to a scratch folder first; only those that add coverage are merged into the
# corpus kept in the repository, which stays small.
per_job=$(( (runs + jobs - 1) / jobs ))
# The sanitizer runtime is a shared library here (the driver and the stand-in are shared objects),
# loaded after the program's own libraries.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
pids=()
for job in $(seq 1 "$jobs"); do
    "$build/fuzz/$target" -runs="$per_job" -seed="$job" -print_final_stats=1 \
        -artifact_prefix="$build/$target-crashes/" "$build/$target-new" "$corpus" \
        > "$build/$target-$job.log" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
for job in $(seq 1 "$jobs"); do
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$build/$target-$job.log" | sed "s/^/job $job: /" || true
done
"$build/fuzz/$target" -merge=1 "$corpus" "$build/$target-new" > "$build/$target-merge.log" 2>&1
echo "corpus: $(ls "$corpus" | wc -l) inputs"
if [ "$status" -ne 0 ]; then
    echo "a fuzzing job failed: see $build/$target-*.log and $build/$target-crashes" >&2
fi
exit "$status"
