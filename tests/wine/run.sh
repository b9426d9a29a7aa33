#!/usr/bin/env bash
# Runs tarnpanel.exe under Wine on a virtual X display and checks its start-up failures by the
# message box each one shows (read through Win32 by window_probe.exe) and by the exit code:
#   no driver (Wine has no portcls.sys, so the interface class is empty): "Driver not loaded", 4;
#   a second instance while the first runs: "Control Panel instance is already running", 3, and
#   the first keeps running;
#   the instance mutex's name taken by an event: "Cannot create instance mutex (...)", 2;
#   a system reporting Windows 98: "Cannot init application", 1.
# The real driver cannot load under Wine, so the rest runs tarnpanel-fake.exe, the same panel with
# its device seam answering from a model of the driver (device_calls_fake.cpp, which logs every
# set request and restart):
#   the channel does not open: 5; the first request fails: 6; version 4.11: 7; the first cable
#   read fails: the main dialog's 0; an interface
#   enumeration that keeps failing: one message, then "Driver not loaded" and 4;
#   the main dialog with live figures (screenshot kept as an artifact), a new format range and
#   clock correction sending exactly those two requests, an invalid value refused with its message
#   and nothing sent, the About box, the restart refused while a stream is open (also after a
#   change that waits for a restart, which leaves the panel open);
#   a new number of cables followed by the restart and the dialog with the new rows, and a restart
#   the system cannot complete, which warns and goes on.
# Then tarnpanel-bridge.exe (beside tarnpanel.exe) against tarnhost serve, the driver itself in the
# stand-in ($TARNHOST, default build/host/tools/tarnhost): the dialog lists the driver's 4 cables,
# a new format range and clock correction, an invalid value refused, the About box, and a new
# number of cables through the real restart; tarnhost ctl then reads the changes back.
# Usage: tests/wine/run.sh [tarnpanel.exe [tarnpanel-fake.exe]]   (default: build/windows/ctlpan/)
# The screenshot goes to $TARN_ARTIFACTS (default build/artifacts) when ImageMagick and xwd exist.
# Needs wine64, xvfb (xvfb-run, xauth) and the MinGW-w64 C compiler. Every wait polls with a
# time limit; nothing is timed by sleeping.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
panel=$(realpath "${1:-$repo/build/windows/ctlpan/tarnpanel.exe}")
fake_panel=$(realpath "${2:-$(dirname "$panel")/tarnpanel-fake.exe}")
bridge_panel=$(realpath "$(dirname "$panel")/tarnpanel-bridge.exe")
tarnhost=$(realpath "${TARNHOST:-$repo/build/host/tools/tarnhost}")
for program in "$panel" "$fake_panel" "$bridge_panel" "$tarnhost"; do
    if [[ ! -f $program ]]; then
        echo "$program: no such file (build it with scripts/build-panel.sh)" >&2
        exit 2
    fi
done
artifacts=${TARN_ARTIFACTS:-$repo/build/artifacts}

# A display of our own, unless the caller gives one.
if [[ -z ${DISPLAY:-} ]]; then
    exec xvfb-run -a -s "-screen 0 1280x800x24" "$0" "$panel" "$fake_panel"
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
cp "$fake_panel" "$work/tarnpanel-fake.exe"
cp "$bridge_panel" "$work/tarnpanel-bridge.exe"
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

echo "== the panel against a model of the driver"
fake_log=$work/requests.log
fake_log_windows="Z:${fake_log//\//\\}"

# Starts tarnpanel-fake.exe with the model configured by $1, logging to a fresh $fake_log.
run_fake() {
    rm -f "$fake_log"
    TARN_FAKE_DEVICE=$1 TARN_FAKE_LOG=$fake_log_windows timeout 120 "$wine" "$work/tarnpanel-fake.exe" \
        >/dev/null 2>&1 &
}

# Drives the main dialog through window_probe.exe's steps; reports their outcome.
drive() {
    local what=$1 output status=0
    shift
    output=$("$wine" "$work/window_probe.exe" drive "$caption" "$@" | tr -d '\r') || status=$?
    if [[ $status == 0 ]]; then
        pass "$what"
    else
        fail "$what: $(grep -v '^ok:' <<<"$output")"
    fi
}

# Keeps a picture of the screen as $artifacts/$1, once the dialog has settled.
screenshot() {
    if [[ ! -x /usr/bin/convert ]] || ! command -v xwd >/dev/null; then
        return 0
    fi
    # The dialog paints when its queue is idle: shoot until two shots in a row agree.
    mkdir -p "$artifacts"
    local previous= current i
    for (( i = 0; i < 25; i++ )); do
        xwd -root -silent >"$work/screen.xwd"
        current=$(md5sum <"$work/screen.xwd")
        [[ $current == "$previous" ]] && break
        previous=$current
        sleep 0.2
    done
    /usr/bin/convert "xwd:$work/screen.xwd" -trim "png:$artifacts/$1" && echo "screenshot: $artifacts/$1"
}

expect_log() {
    local expected=$1 what=$2 seen
    seen=$(cat "$fake_log" 2>/dev/null || true)
    if [[ $seen == "$expected" ]]; then
        pass "$what: the driver received ${expected//$'\n'/; }"
    else
        fail "$what: the driver received \"$seen\", expected \"$expected\""
    fi
}

run_fake open-fails
panel_pid=$!
seen=$(probe "Cannot open driver (0/2*" "$timeout_ms" close) || true
expect_text "${seen%% - *}" "Cannot open driver (0/2" "the panel whose channel does not open"
expect_exit "$panel_pid" 5 "the panel whose channel does not open"

# An enumeration that keeps failing is reported once, not at every next index.
run_fake enum-fails
panel_pid=$!
seen=$(probe "Cannot get interface data (0/1784*" "$timeout_ms" close) || true
expect_text "${seen%% - *}" "Cannot get interface data (0/1784" "the panel whose interface enumeration fails"
seen=$(probe "Driver not loaded" "$timeout_ms" close) || true
expect_text "$seen" "Driver not loaded" "the panel whose interface enumeration fails, next"
expect_exit "$panel_pid" 4 "the panel whose interface enumeration fails"

run_fake info-fails
panel_pid=$!
seen=$(probe "Cannot get driver info (0/31*" "$timeout_ms" close) || true
expect_text "${seen%% - *}" "Cannot get driver info (0/31" "the panel whose first request fails"
expect_exit "$panel_pid" 6 "the panel whose first request fails"

run_fake version=4.11.0.2567
panel_pid=$!
seen=$(probe "Wrong driver version 4.11.0.2567, must be 4.10.x.x" "$timeout_ms" close) || true
expect_text "$seen" "Wrong driver version 4.11.0.2567, must be 4.10.x.x" "the panel with driver 4.11"
expect_exit "$panel_pid" 7 "the panel with driver 4.11"

run_fake cable-fails
panel_pid=$!
seen=$(probe "Cannot get cable 0 info (0/2*" "$timeout_ms" close) || true
expect_text "${seen%% - *}" "Cannot get cable 0 info (0/2" "the panel whose first cable read fails"
expect_exit "$panel_pid" 0 "the panel whose first cable read fails"

run_fake cables=4,streams=1,version=4.10.7.9999
panel_pid=$!
drive "the main dialog shows 4 cables, 2 clients and 1 stream" \
    expect:1002=4 expect:1023=2 expect:1024=1 rows:4
screenshot tarnpanel-main.png
drive "a new format range and clock correction are applied" \
    set:1009=44100 set:1010=96000 set:1021=100.5 click:1007 expect:1021=100.500
# Arrow keys in the clock field step it by 0.001 %, from 100.000 % when its text is no number, and
# never past 110.000 %: three steps up from 109.999 and one down come back to 109.999.
drive "the clock field's arrow keys step it within its range" \
    set:1021=abc key:1021=up expect:1021=100.001 set:1021=x key:1021=down expect:1021=99.999 \
    set:1021=109.999 key:1021=up key:1021=up key:1021=up expect:1021=110.000 key:1021=down expect:1021=109.999 \
    set:1021=100.500
drive "an invalid maximum of instances is refused and the field reverts" \
    set:1008=0 click:1007 "box:Invalid maximum instances 0. Must be in range 1..100" expect:1008=8
drive "the About box names the driver's version" \
    click:10 "about:Driver: 4.10.7.9999, Control Panel: 4.10.0.2567"
drive "a restart while a stream is open is refused and the panel goes on" \
    click:1022 "box:Driver restart is possible only when it is idle*" expect:1002=4 rows:4
drive "a change that waits for a restart, refused while a stream is open, keeps the panel open" \
    set:1008=9 click:1007 "box:Driver restart is possible only when it is idle*" expect:1008=8 rows:4
drive "Exit closes the dialog" click:2 gone
expect_exit "$panel_pid" 1 "the panel closed with Exit"
expect_log $'format-range cable 0 44100 96000 8 32 1 8\nclock-correction cable 0 65864\nmax-instances cable 0 9' \
    "the cable updates"

run_fake cables=4
panel_pid=$!
drive "a new number of cables restarts the driver and the list shows the new rows" \
    rows:4 set:1002=6 click:1004 rows:6 expect:1002=6 click:2 gone
expect_exit "$panel_pid" 1 "the panel after the restart"
expect_log $'number-of-cables 6\nrestart' "the new number of cables"

run_fake cables=4,needs-reboot
panel_pid=$!
drive "a restart that needs a reboot warns and the panel goes on with the old cables" \
    rows:4 set:1002=6 click:1004 "warning:Unable to restart driver automatically.*" rows:4 expect:1002=4 click:2 gone
expect_exit "$panel_pid" 1 "the panel after the warning"
expect_log $'number-of-cables 6\nrestart needs-reboot' "the restart needing a reboot"

echo "== the bridged panel against the real driver logic (tarnhost serve)"
# tarnpanel-bridge.exe is the panel with its device calls forwarded to tarnhost serve, which runs
# the driver in the stand-in: what the panel changes is read back from the server's registry.
registry=$work/tarn.reg
"$tarnhost" ctl --registry "$registry" set number-of-cables 4 >/dev/null
"$tarnhost" serve --registry "$registry" >"$work/serve.out" 2>"$work/serve.err" &
server=$!
timeout 60 bash -c "until grep -q '^TARN_BRIDGE=' '$work/serve.out'; do sleep 0.05; done" ||
    fail "tarnhost serve did not start: $(cat "$work/serve.err")"
bridge=$(grep -m1 '^TARN_BRIDGE=' "$work/serve.out")
TARN_BRIDGE=${bridge#TARN_BRIDGE=} timeout 120 "$wine" "$work/tarnpanel-bridge.exe" >/dev/null 2>&1 &
panel_pid=$!
drive "the bridged dialog lists the driver's 4 cables" rows:4 expect:1002=4 expect:1008=20
drive "a new format range and clock correction reach the driver" \
    set:1009=44100 set:1010=96000 set:1021=100.5 click:1007 expect:1021=100.500 expect:1009=44100
drive "an invalid value is refused and changes nothing" \
    set:1008=0 click:1007 "box:Invalid maximum instances 0. Must be in range 1..100" expect:1008=20
drive "the About box names the driver's version" click:10 "about:Driver: 4.10.0.2567, Control Panel: 4.10.0.2567"
drive "a new number of cables restarts the driver and the dialog shows 6 cables" \
    set:1002=6 click:1004 rows:6 expect:1002=6 click:2 gone
expect_exit "$panel_pid" 1 "the bridged panel"
kill -TERM "$server"
server_status=0
wait "$server" || server_status=$?
[[ $server_status == 0 ]] && pass "tarnhost serve stops and saves its registry" ||
    fail "tarnhost serve exited with $server_status: $(cat "$work/serve.err")"
# The figures move while an application plays into cable 2 and another records from it.
"$tarnhost" serve --registry "$registry" --stream 2 >"$work/serve.out" 2>"$work/serve.err" &
server=$!
timeout 60 bash -c "until grep -q '^TARN_BRIDGE=' '$work/serve.out'; do sleep 0.05; done" ||
    fail "tarnhost serve --stream did not start: $(cat "$work/serve.err")"
bridge=$(grep -m1 '^TARN_BRIDGE=' "$work/serve.out")
TARN_BRIDGE=${bridge#TARN_BRIDGE=} timeout 120 "$wine" "$work/tarnpanel-bridge.exe" >/dev/null 2>&1 &
panel_pid=$!
drive "the bridged dialog counts the player's and recorder's handles and streams" rows:6 expect:1023=4 expect:1024=2
screenshot tarnpanel-bridge-main.png
drive "Exit closes the bridged dialog" click:2 gone
expect_exit "$panel_pid" 1 "the bridged panel beside streams"
kill -TERM "$server"
wait "$server" || fail "tarnhost serve --stream exited with $?: $(cat "$work/serve.err")"

cables=$("$tarnhost" ctl --registry "$registry" cables)
row=$(grep -E '^1 ' <<<"$cables" || true)
if [[ $(grep -c '' <<<"$cables") == 7 && $row == *"44100-96000"* && $row == *"100.500%"* &&
      $row == *" 20 "* ]]; then
    pass "the driver keeps the panel's changes: cable 1 is \"$row\""
else
    fail "after the bridged panel, tarnhost ctl cables shows: $cables"
fi

if (( failures > 0 )); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all Wine checks passed"
