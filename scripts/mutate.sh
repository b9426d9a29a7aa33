#!/usr/bin/env bash
# Mutation check of the host test suite: applies each small deliberate fault of a list (by default
# scripts/mutations.txt) to the driver sources one at a time, rebuilds incrementally, runs the
# host test programs and reports which faults the tests kill and which survive.
#
# Not part of CI: with the 75 faults of the list it takes about 5 minutes on an idle 2-core
# machine (each fault relinks the driver and one or two test programs; a killed fault stops at
# the first failing test, a surviving one runs the whole suite).
#
#   scripts/mutate.sh [list] [name...]   only the named faults when names are given
#
# Each record of the list is a block of four lines, records apart by a blank line, '#' lines
# ignored:
#   name: short-name
#   file: driver/engine/transfer.cpp
#   from: the exact original text (\n for a line break, \\ for a backslash)
#   to:   the replacement
# The original text must occur exactly once in the file; otherwise the fault is reported as
# "stale" (the source moved on: refresh the record) and counted apart. A fault that does not
# compile is reported as "broken" and also counted apart. A test program that crashes, hangs
# (TARN_MUTATE_TIMEOUT seconds, default 600) or fails kills the fault.
#
# The source file is restored after every fault, also on interruption; the build is brought
# back to the unmutated sources at the end. TARN_MUTATE_BUILD names the build directory
# (default build/host, configured as the README says).
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
list="${1:-$repo/scripts/mutations.txt}"
shift $(( $# > 0 ? 1 : 0 ))
only=("$@")
build="${TARN_MUTATE_BUILD:-$repo/build/host}"
timeout_s="${TARN_MUTATE_TIMEOUT:-600}"
work="$(mktemp -d)"
mutated=""

restore() {
    if [ -n "$mutated" ] && [ -f "$work/original" ]; then
        cp "$work/original" "$repo/$mutated"
        mutated=""
    fi
}
cleanup() {
    restore
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "interrupted: source restored" >&2; exit 130' INT TERM

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
fi

# The list split into one directory per record: name, file, from, to (escapes resolved).
python3 - "$list" "$work/records" <<'EOF' || exit 1
import os, sys
path, out = sys.argv[1], sys.argv[2]
os.makedirs(out)
def unescape(text):
    result, i = [], 0
    while i < len(text):
        if text[i] == '\\' and i + 1 < len(text) and text[i + 1] in 'n\\t':
            result.append({'n': '\n', '\\': '\\', 't': '\t'}[text[i + 1]])
            i += 2
        else:
            result.append(text[i])
            i += 1
    return ''.join(result)
records, current = [], {}
for number, line in enumerate(open(path, encoding='utf-8'), 1):
    line = line.rstrip('\n')
    if line.startswith('#'):
        continue
    if not line.strip():
        if current:
            records.append(current)
            current = {}
        continue
    key, sep, value = line.partition(':')
    if not sep or key not in ('name', 'file', 'from', 'to') or key in current:
        sys.exit(f'{path}:{number}: expected one of name:, file:, from:, to: once per record')
    current[key] = value[1:] if value.startswith(' ') else value
if current:
    records.append(current)
names = set()
for index, record in enumerate(records):
    if set(record) != {'name', 'file', 'from', 'to'} or record['name'] in names:
        sys.exit(f'{path}: record {index + 1} ({record.get("name")}): incomplete or duplicate name')
    names.add(record['name'])
    directory = os.path.join(out, f'{index:03d}')
    os.makedirs(directory)
    for key in ('name', 'file'):
        open(os.path.join(directory, key), 'w').write(record[key])
    for key in ('from', 'to'):
        open(os.path.join(directory, key), 'w').write(unescape(record[key]))
EOF

programs=()
for name in test_config test_core test_filters test_engine test_host test_control test_tools; do
    if [ -f "$build/tests/$name" ] || grep -q "build tests/$name:" "$build/build.ninja"; then
        programs+=("$name")
    fi
done

# Runs every test program, first failure wins; prints "passed" or the first failing test.
run_suite() {
    local program log status
    for program in "${programs[@]}"; do
        log="$work/$program.log"
        (cd "$build/tests" && timeout "$timeout_s" "./$program" --gtest_fail_fast --gtest_brief=1 >"$log" 2>&1)
        status=$?
        if [ $status -ne 0 ]; then
            if [ $status -eq 124 ]; then
                echo "$program: timed out"
            else
                local failed
                failed="$(grep -m1 -o '^\[  FAILED  \] [A-Za-z0-9_/.]*' "$log" | sed 's/^\[  FAILED  \] //')"
                echo "$program: ${failed:-exit status $status}"
            fi
            return 1
        fi
    done
    echo passed
}

echo "== baseline build and suite"
if ! cmake --build "$build" -j2 >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    echo "the unmutated sources do not build" >&2
    exit 1
fi
baseline="$(run_suite)"
if [ "$baseline" != passed ]; then
    echo "the suite fails without any fault ($baseline): fix that first" >&2
    exit 1
fi

killed=0 survived=0 stale=0 broken=0 total=0
survivors=()
started=$SECONDS
for record in "$work"/records/*; do
    name="$(cat "$record/name")"
    file="$(cat "$record/file")"
    if [ ${#only[@]} -gt 0 ] && [[ ! " ${only[*]} " == *" $name "* ]]; then
        continue
    fi
    total=$((total + 1))
    count="$(python3 -c 'import sys; print(open(sys.argv[1], encoding="utf-8").read().count(open(sys.argv[2], encoding="utf-8").read()))' \
        "$repo/$file" "$record/from" 2>/dev/null || echo 0)"
    if [ "$count" != 1 ]; then
        printf '%-8s %-40s %s (original text found %s times)\n' stale "$name" "$file" "$count"
        stale=$((stale + 1))
        continue
    fi
    cp "$repo/$file" "$work/original"
    mutated="$file"
    python3 -c 'import sys
path, old, new = sys.argv[1], open(sys.argv[2], encoding="utf-8").read(), open(sys.argv[3], encoding="utf-8").read()
text = open(path, encoding="utf-8").read()
open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))' "$repo/$file" "$record/from" "$record/to"
    if ! cmake --build "$build" -j2 >"$work/build.log" 2>&1; then
        printf '%-8s %-40s %s (does not compile)\n' broken "$name" "$file"
        broken=$((broken + 1))
        restore
        continue
    fi
    verdict="$(run_suite)"
    restore
    if [ "$verdict" = passed ]; then
        printf '%-8s %-40s %s\n' SURVIVED "$name" "$file"
        survived=$((survived + 1))
        survivors+=("$name")
    else
        printf '%-8s %-40s %s\n' killed "$name" "$verdict"
        killed=$((killed + 1))
    fi
done

echo "== restoring the build"
cmake --build "$build" -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

judged=$((killed + survived))
echo "== $killed of $judged faults killed ($(( judged > 0 ? 100 * killed / judged : 0 ))%), $survived survived," \
     "$stale stale, $broken broken; $(( (SECONDS - started) / 60 )) min"
if [ $survived -gt 0 ]; then
    echo "survivors: ${survivors[*]}"
fi
[ $survived -eq 0 ] && [ $stale -eq 0 ] && [ $broken -eq 0 ]
