#!/usr/bin/env bash
# Runs tarnpanel.exe under Wine on a virtual X display and checks its start-up failures by the
# message box each one shows (read through Win32 by window_probe.exe) and by the exit code:
#   no driver (Wine has no portcls.sys, so the interface class is empty): "Driver not loaded", 4;
#   a second instance while the first runs: "Control Panel instance is already running", 3, and
#   the first keeps running;
#   the instance mutex's name taken by an event: "Cannot create instance mutex (...)", 2;
#   a system reporting Windows 98: "Cannot init application", 1.
# Exit codes 5 to 7 need a driver that answers, which plain Wine cannot load.
# Usage: tests/wine/run.sh [path-to-tarnpanel.exe]   (default: build/windows/ctlpan/tarnpanel.exe)
# Needs wine64, xvfb (xvfb-run, xauth) and the MinGW-w64 C compiler. Every wait polls with a
# time limit; nothing is timed by sleeping.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
panel=$(realpath "${1:-$repo/build/windows/ctlpan/tarnpanel.exe}")
if [[ ! -f $panel ]]; then
    echo "$panel: no such file (build it with scripts/build-panel.sh)" >&2
    exit 2
fi

# A display of our own, unless the caller gives one.
if [[ -z ${DISPLAY:-} ]]; then
    exec xvfb-run -a "$0" "$panel"
fi

wine=
for candidate in /usr/lib/wine/wine64 wine64 wine; do
    if command -v "$candidate" >/dev/null; then
        wine=$(command -v "$candidate")
        break
    fi
done
if [[ -z $wine ]]; then
    echo "no wine64 found (apt-get install wine64)" >&2
    exit 2
fi

work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    WINEPREFIX=$work/prefix wineserver -k 2>/dev/null || "${wine%/*}/wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

x86_64-w64-mingw32-gcc-win32 -O2 -Wall -Wextra -Werror -o "$work/window_probe.exe" \
    "$repo/tests/wine/window_probe.c"
cp "$panel" "$work/tarnpanel.exe"
"$wine" wineboot -i >/dev/null 2>&1

caption="Quill Tarn Control Panel"
timeout_ms=30000
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}

# Waits for the box with the given text (prefix with a trailing '*'); "close" presses its OK.
probe() {
    "$wine" "$work/window_probe.exe" "$caption" "$@" | tr -d '\r'
}

# Starts the panel in the background with the given arguments; a hung panel is stopped in time.
run_panel() {
    timeout 120 "$wine" "$work/tarnpanel.exe" "$@" >/dev/null 2>&1 &
}

# Waits for a background process and checks its exit code.
expect_exit() {
    local pid=$1 expected=$2 what=$3 status=0
    wait "$pid" || status=$?
    if [[ $status == "$expected" ]]; then
        pass "$what exits with $expected"
    else
        fail "$what exits with $status, expected $expected"
    fi
}

expect_text() {
    local seen=$1 expected=$2 what=$3
    if [[ $seen == "$expected" ]]; then
        pass "$what shows \"$seen\""
    else
        fail "$what shows \"$seen\", expected \"$expected\""
    fi
}

echo "== no driver, and a second instance beside the first"
# Arguments have no effect on the panel.
run_panel --verbose /x
first=$!
seen=$(probe "Driver not loaded" "$timeout_ms") || true
expect_text "$seen" "Driver not loaded" "the first panel"

run_panel
second=$!
seen=$(probe "Control Panel instance is already running" "$timeout_ms" close) || true
expect_text "$seen" "Control Panel instance is already running" "the second panel"
expect_exit "$second" 3 "the second panel"

# The first is still there, waiting on its box.
seen=$(probe "Driver not loaded" "$timeout_ms" close) || true
expect_text "$seen" "Driver not loaded" "the first panel, after the second has gone,"
expect_exit "$first" 4 "the first panel"

echo "== the instance mutex's name held by another kind of object"
mutex_name='Global\Quill Tarn 4.10.0.2567 Instance Mutex'
# The holder prints "holding" once the event exists, then the box's text once it has seen it.
# (Its output goes to a file: a panel started with a pipe of the holder's open never shows its box.)
"$wine" "$work/window_probe.exe" --hold-event "$mutex_name" "$caption" "Cannot create instance mutex (*" \
    "$timeout_ms" close >"$work/holder.out" 2>&1 &
holder=$!
timeout 60 bash -c "until grep -q '^holding' '$work/holder.out'; do sleep 0.05; done" ||
    fail "the event holder did not start: $(cat "$work/holder.out")"
run_panel
panel_pid=$!
wait "$holder" || true
seen=$(tr -d '\r' <"$work/holder.out" | grep -v '^holding' || true)
# The error text is Wine's description of ERROR_INVALID_HANDLE, after its numbers 0/6.
if [[ $seen == "Cannot create instance mutex (0/6 - "*")" ]]; then
    pass "the panel shows \"$seen\""
else
    fail "the panel shows \"$seen\", expected \"Cannot create instance mutex (0/6 - ...)\""
fi
expect_exit "$panel_pid" 2 "the panel without its mutex"

echo "== a system that is not Windows NT"
"$wine" reg add 'HKCU\Software\Wine\AppDefaults\tarnpanel.exe' /v Version /d win98 /f >/dev/null 2>&1
run_panel
panel_pid=$!
seen=$(probe "Cannot init application" "$timeout_ms" close) || true
expect_text "$seen" "Cannot init application" "the panel on Windows 98"
expect_exit "$panel_pid" 1 "the panel on Windows 98"
"$wine" reg delete 'HKCU\Software\Wine\AppDefaults\tarnpanel.exe' /f >/dev/null 2>&1

if (( failures > 0 )); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all Wine checks passed"
