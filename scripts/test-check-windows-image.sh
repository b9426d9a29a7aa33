#!/usr/bin/env bash
# Proves that scripts/check-windows-image.sh can fail: builds small images that each break one
# rule (and one that breaks none) with the cross compiler, and expects the check to reject each
# bad one with the reason named. Usage: scripts/test-check-windows-image.sh
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
check=$repo/scripts/check-windows-image.sh
cc=x86_64-w64-mingw32-gcc-win32
objcopy=x86_64-w64-mingw32-objcopy
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/driver.c" <<'EOF'
__declspec(dllimport) void* ExAllocatePoolWithTag(int poolType, unsigned long long bytes, unsigned long tag);
__declspec(dllimport) void ExFreePoolWithTag(void* block, unsigned long tag);
long DriverEntry(void* driverObject, void* registryPath)
{
    void* block = ExAllocatePoolWithTag(512, 16, 0x206D6457);
    if (block == 0) {
        return (long)0xC000009A;
    }
    ExFreePoolWithTag(block, 0x206D6457);
    return 0;
}
EOF
cat >"$work/user_import.c" <<'EOF'
__declspec(dllimport) unsigned long GetTickCount(void);
long DriverEntry(void* driverObject, void* registryPath)
{
    return (long)GetTickCount();
}
EOF
cat >"$work/group_import.c" <<'EOF'
__declspec(dllimport) unsigned long KeGetCurrentProcessorNumberEx(void* processorNumber);
long DriverEntry(void* driverObject, void* registryPath)
{
    return (long)KeGetCurrentProcessorNumberEx(0);
}
EOF
cat >"$work/big_frame.c" <<'EOF'
long Fill(volatile char* buffer, int at);
long DriverEntry(void* driverObject, void* registryPath)
{
    volatile char buffer[8192];
    buffer[0] = 1;
    return Fill(buffer, (int)(long long)registryPath);
}
long Fill(volatile char* buffer, int at) { return buffer[at]; }
EOF
printf '#include <stdio.h>\nint main(void) { puts("hello"); return 0; }\n' >"$work/hello.c"

native=(-O2 -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--dynamicbase -Wl,--nxcompat)
"$cc" "${native[@]}" "$work/driver.c" -o "$work/good.sys" -lntoskrnl
"$cc" "${native[@]}" "$work/user_import.c" -o "$work/user_import.sys" -lntoskrnl -lkernel32
"$cc" "${native[@]}" "$work/group_import.c" -o "$work/group_import.sys" -lntoskrnl
"$cc" "${native[@]}" "$work/big_frame.c" -o "$work/big_frame.sys" -lntoskrnl -lgcc
"$cc" "${native[@]}" -Wl,--subsystem,windows "$work/driver.c" -o "$work/gui.sys" -lntoskrnl
"$cc" "${native[@]}" -shared "$work/driver.c" -o "$work/dll.sys" -lntoskrnl
"$cc" "${native[@]}" -Wl,--disable-dynamicbase "$work/driver.c" -o "$work/fixed_base.sys" -lntoskrnl
"$cc" "${native[@]}" -Wl,--disable-reloc-section "$work/driver.c" -o "$work/no_relocations.sys" -lntoskrnl
"$objcopy" --remove-section .pdata "$work/good.sys" "$work/no_unwind.sys"
"$cc" -O2 "$work/hello.c" -o "$work/hello.exe"

failures=0
expect_pass() {
    if ! "$check" -q "$1" >"$work/out" 2>&1; then
        echo "FAIL: the check rejected a valid native image ${1##*/}:" >&2
        cat "$work/out" >&2
        failures=$((failures + 1))
    fi
}
expect_reject() {
    local image=$1 reason=$2
    if "$check" -q "$image" >"$work/out" 2>&1; then
        echo "FAIL: the check accepted ${image##*/} (expected: $reason)" >&2
        failures=$((failures + 1))
    elif ! grep -qF -- "$reason" "$work/out"; then
        echo "FAIL: the check rejected ${image##*/} without naming '$reason':" >&2
        cat "$work/out" >&2
        failures=$((failures + 1))
    fi
}

expect_pass "$work/good.sys"
expect_reject "$work/user_import.sys" "imports from KERNEL32.dll"
expect_reject "$work/group_import.sys" "imports KeGetCurrentProcessorNumberEx"
expect_reject "$work/big_frame.sys" "a stack frame of 8200 bytes in DriverEntry+"
expect_reject "$work/gui.sys" "not 1 (native)"
expect_reject "$work/dll.sys" "marked as a DLL"
expect_reject "$work/fixed_base.sys" "not DYNAMIC_BASE"
expect_reject "$work/no_relocations.sys" "relocations stripped"
expect_reject "$work/no_unwind.sys" "no .pdata section"
expect_reject "$work/hello.exe" "imports from msvcrt.dll"
expect_reject "$work/hello.exe" "not 1 (native)"
expect_reject "$repo/scripts/check-windows-image.sh" "not a PE image"

if (( failures > 0 )); then
    echo "check-windows-image.sh self-test: $failures failure(s)" >&2
    exit 1
fi
echo "check-windows-image.sh self-test: passes a native image, rejects 11 broken ones"
