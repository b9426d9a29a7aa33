#!/usr/bin/env bash
# Checks that a built tarndrv.sys is a kernel driver Windows can load: a PE32+ x64 image of the
# native subsystem, not a DLL, relocatable (DYNAMIC_BASE, NX_COMPAT), with unwind tables (.pdata),
# without TLS, delay imports or writable code, importing only from ntoskrnl.exe, HAL.dll and
# portcls.sys, none of the routines newer systems add that the driver looks up by name, and no
# stack frame over 4 KiB (a sixth of the 24 KiB kernel stack; the host build keeps the same budget).
# Usage: scripts/check-windows-image.sh [-q] <path-to-tarndrv.sys>
# Exits 0 when every check passes and prints the import list (not with -q); otherwise names each
# failure.
set -euo pipefail

OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}
allowed_modules=("ntoskrnl.exe" "hal.dll" "portcls.sys")
# Routines of Windows 7 and later: an image importing one does not load on the older systems the
# driver supports, so it looks them up with MmGetSystemRoutineAddress instead.
looked_up_routines=("KeQueryActiveProcessorCountEx" "KeGetCurrentProcessorNumberEx")
frame_budget=4096

quiet=false
if [[ ${1:-} == -q ]]; then
    quiet=true
    shift
fi
if [[ $# -ne 1 ]]; then
    echo "usage: $0 [-q] <path-to-tarndrv.sys>" >&2
    exit 2
fi
image=$1
if [[ ! -f $image ]]; then
    echo "$image: no such file" >&2
    exit 1
fi
if ! command -v "$OBJDUMP" >/dev/null; then
    echo "$OBJDUMP not found (apt-get install binutils-mingw-w64-x86-64)" >&2
    exit 2
fi

failures=0
fail() {
    echo "$image: $*" >&2
    failures=$((failures + 1))
}

if ! headers=$("$OBJDUMP" -p "$image" 2>&1); then
    echo "$image: not a PE image objdump can read: $headers" >&2
    exit 1
fi
sections=$("$OBJDUMP" -h "$image")

# A header field's hexadecimal value, e.g. field_value "Subsystem" -> 00000001.
field_value() {
    awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"
}
# A data directory's size, by its entry number in objdump's table (hexadecimal digit).
directory_size() {
    awk -v entry="$1" '$1 == "Entry" && $2 == entry { print $4; exit }' <<<"$headers"
}

grep -q 'file format pei-x86-64' <<<"$headers" || fail "not a PE32+ x86-64 image"

subsystem=$(field_value Subsystem)
if [[ -z $subsystem ]] || (( 16#$subsystem != 1 )); then
    fail "subsystem is ${subsystem:-missing}, not 1 (native): link with -Wl,--subsystem,native"
fi

characteristics=$(field_value Characteristics)
if [[ -z $characteristics ]]; then
    fail "no file header characteristics"
else
    (( (16#${characteristics#0x} & 0x2000) == 0 )) || fail "marked as a DLL (IMAGE_FILE_DLL): do not link with -shared"
    (( (16#${characteristics#0x} & 0x0002) != 0 )) || fail "not marked executable (IMAGE_FILE_EXECUTABLE_IMAGE)"
    # A driver is always loaded away from its preferred base.
    (( (16#${characteristics#0x} & 0x0001) == 0 )) || fail "relocations stripped: the kernel cannot relocate the image"
fi

# Address space layout randomisation and no-execute data, as the kernel expects of drivers.
dll_characteristics=$(field_value DllCharacteristics)
if [[ -z $dll_characteristics ]]; then
    fail "no DllCharacteristics"
else
    (( (16#$dll_characteristics & 0x0040) != 0 )) || fail "not DYNAMIC_BASE: link with -Wl,--dynamicbase"
    (( (16#$dll_characteristics & 0x0100) != 0 )) || fail "not NX_COMPAT: link with -Wl,--nxcompat"
fi

# Unwind tables: the kernel needs them to unwind through the driver's frames.
pdata_size=$(awk '$2 == ".pdata" { print $3; exit }' <<<"$sections")
if [[ -z $pdata_size ]] || (( 16#$pdata_size == 0 )); then
    fail "no .pdata section (unwind tables)"
fi
exception_directory=$(directory_size 3)
if [[ -z $exception_directory ]] || (( 16#$exception_directory == 0 )); then
    fail "empty exception directory (unwind tables not registered)"
fi

# Thread-local storage and delay-loaded imports do not exist in kernel mode.
tls_directory=$(directory_size 9)
[[ -z $tls_directory ]] || (( 16#$tls_directory == 0 )) || fail "has a TLS directory (thread_local is not available in the kernel)"
delay_directory=$(directory_size d)
[[ -z $delay_directory ]] || (( 16#$delay_directory == 0 )) || fail "has delay-loaded imports"

# Code sections must be read-only (objdump lists READONLY for sections without the write flag).
writable_code=$(awk '/^ *[0-9]+ / { name = $2; next } /CODE/ && !/READONLY/ { print name }' <<<"$sections")
[[ -z $writable_code ]] || fail "writable code section(s): $writable_code"

# Imports, module by module.
modules=$(awk '/DLL Name:/ { print $3 }' <<<"$headers")
if [[ -z $modules ]]; then
    fail "imports nothing (not even ntoskrnl.exe)"
fi
for module in $modules; do
    lower=${module,,}
    allowed=false
    for permitted in "${allowed_modules[@]}"; do
        [[ $lower == "$permitted" ]] && allowed=true
    done
    $allowed || fail "imports from $module; only ntoskrnl.exe, HAL.dll and portcls.sys are allowed"
done

imported_routines=$(awk '
    /DLL Name:/ { module = $3; next }
    /^$/ { module = "" }
    module != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ { print $3 }
' <<<"$headers")
for routine in "${looked_up_routines[@]}"; do
    if grep -qxF -- "$routine" <<<"$imported_routines"; then
        fail "imports $routine, which systems before Windows 7 lack: look it up by name"
    fi
done

# Stack frames, from each routine's prologue: "sub $N,%rsp", or for frames of a page and more
# "mov $N,%eax" and a call of the stack probe before "sub %rax,%rsp".
frames=$("$OBJDUMP" -d "$image" | awk '
    /^[0-9a-f]+ <.*>:$/ { name = $2; gsub(/[<>:]/, "", name); next }
    /sub +\$0x[0-9a-f]+,%rsp/ { match($0, /\$0x[0-9a-f]+/); print substr($0, RSTART + 1, RLENGTH - 1), name "+" $1; next }
    /mov +\$0x[0-9a-f]+,%eax/ { match($0, /\$0x[0-9a-f]+/); pending = substr($0, RSTART + 1, RLENGTH - 1); next }
    /call.*chkstk/ && pending != "" { print pending, name "+" $1 }
    { pending = "" }
' | while read -r size name; do echo "$((size)) $name"; done | sort -n | tail -n 1)
largest_frame=${frames%% *}
largest_frame=${largest_frame:-0}
if (( largest_frame > frame_budget )); then
    fail "a stack frame of $largest_frame bytes in ${frames#* } is over the $frame_budget-byte budget"
fi

if (( failures > 0 )); then
    echo "$image: $failures check(s) failed" >&2
    exit 1
fi

$quiet && exit 0
echo "$image: native kernel image, largest stack frame $largest_frame bytes (${frames#* }), imports:"
awk '
    /DLL Name:/ { module = $3; next }
    /^$/ { module = "" }
    module != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]/ { printf "  %s!%s\n", module, $3 }
' <<<"$headers"
