#!/usr/bin/env bash
# Proves that scripts/check-inf.sh can fail: generates a good package (the INF beside a stand-in
# tarndrv.sys), expects it to pass, then breaks one rule at a time and expects the check to reject
# each with the reason named. With --host BUILD_DIR, also INFs whose settings or value names
# differ from the driver's, which only the driver in the stand-in can tell.
# Usage: scripts/test-check-inf.sh [--host BUILD_DIR]
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
check=$repo/scripts/check-inf.sh
host_build=
if [[ ${1:-} == --host && $# -eq 2 ]]; then
    host_build=$2
elif [[ $# -ne 0 ]]; then
    echo "usage: $0 [--host BUILD_DIR]" >&2
    exit 2
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

good=$work/good.inf
"$repo/scripts/make-inf.sh" "$good"
mkdir "$work/package"
touch "$work/package/tarndrv.sys"
inf=$work/package/tarndrv.inf

cp "$good" "$inf"
if ! "$check" -q "$inf"; then
    echo "FAIL: the generated INF does not pass" >&2
    exit 1
fi

failures=0
# expect_rejected DESCRIPTION EXPECTED-MESSAGE [CHECK-OPTIONS...]: runs the check on $inf.
expect_rejected() {
    local description=$1 message=$2 output
    shift 2
    if output=$("$check" -q "$@" "$inf" 2>&1); then
        echo "FAIL: accepted $description" >&2
        failures=$((failures + 1))
    elif ! grep -qF -- "$message" <<<"$output"; then
        echo "FAIL: $description: rejected without \"$message\":" >&2
        sed 's/^/    /' <<<"$output" >&2
        failures=$((failures + 1))
    fi
}
# A copy of the good INF with one sed program applied (CRLF line ends kept out of the patterns).
broken() {
    sed "s/\r$//; $1" "$good" | sed 's/$/\r/' >"$inf"
}

# Each row: sed program | the reason the check must give | what is broken.
while IFS='|' read -r program message description; do
    [[ -z $program ]] && continue
    broken "$program"
    expect_rejected "$description" "$message"
done <<'EOF'
/^\[Tarn.Topo17.AddReg\]/d|refers to [Tarn.Topo17.AddReg], which does not exist|a referenced section removed
s/^Class=MEDIA/Class=Sound/|Class is not MEDIA|another class
s/^ClassGuid=.*/ClassGuid={4d36e96c-e325-11ce-bfc1-08002be10319}/|ClassGuid is not|another class GUID
s/^DriverVer=.*/DriverVer=2026-12-10,4.10/|DriverVer|a malformed DriverVer
s/^Provider=%Provider%/Provider=%Vendor%/|%Vendor% has no entry in [Strings]|an undefined string
s/^ServiceType=1/ServiceType=2/|ServiceType is not 1|a file-system service
s/^StartType=3/StartType=0/|StartType is not 3|a boot-start service
s/^ErrorControl=1/ErrorControl=3/|ErrorControl is not 1|a critical service
s/^AddService=tarndrv,0x00000002,/AddService=tarndrv,0x00000000,/|0 associated services|no associated service
s/^AddService=tarndrv,/AddService=tarn,/|service tarn does not match its binary tarndrv.sys|a service named apart from its image
s/^ServiceBinary=.*/ServiceBinary=%12%\\other.sys/|loads other.sys, which the install section does not copy|a service binary never copied
s/^DefaultDestDir=12/DefaultDestDir=13/|copied to 13|the image copied where the service does not look
s/^HKR,,Driver,,tarndrv.sys/HKR,,Driver,,tarn.sys/|the device key names the driver "tarn.sys"|a driver key naming another image
s/^tarndrv.sys=1/tarndrv.sys=2/|on disk 2, which [SourceDisksNames] lacks|a file on an unknown disk
s/^\[Tarn.CopyFiles\]/&\ntarnpanel.exe/|copies tarnpanel.exe, which [SourceDisksFiles] lacks|a copied file not on any disk
s/,ROOT\\QuillTarn/,PCI\\VEN_1234/|is not root-enumerated|a hardware id of a bus
s/^\(HKLM.*Cable 2","Clock correction",0x00010003,\)65536/\1fast/|is a DWORD with data "fast"|a DWORD that is no number
/KSCATEGORY_CAPTURE%,wave256,/d|no interface {65E8773D-8F56-11D0-A3B9-00A0C9223196} wave256|the last cable's capture interface dropped
s/KSCATEGORY_RENDER%,wave5,/KSCATEGORY_RENDER%,topo5,/|{65E8773E-8F56-11D0-A3B9-00A0C9223196} topo5, which the driver never registers|a render interface on a topology filter
s/wave17,/wave017,/|wave017, which the driver never registers|a name the driver does not produce
s/^\(AddInterface=%KSCATEGORY_AUDIO%,wave9,.*\)/\1\n\1/|interfaces listed twice|an interface listed twice
/^\[Tarn.Wave3.AddReg\]/,/^$/{/CLSID/d}|[Tarn.Wave3.AddReg] does not set CLSID|an interface without the KS proxy
/^\[Tarn.Topo200.AddReg\]/,/^$/{/FriendlyName/d}|[Tarn.Topo200.AddReg] sets no FriendlyName|an interface without a friendly name
$a [Tarn.Leftover]\nHKR,,Unused,,1|section [tarn.leftover] is not used|a section nothing refers to
$a [Tarn.CopyFiles]\nextra.sys|section [tarn.copyfiles] is defined more than once|a section defined twice
s/^Needs=/Needs=Tarn.Nowhere,/; /^Include=/d|Needs [Tarn.Nowhere], which neither the file nor an Include has|a needed section without its include
EOF

# The image missing from the package.
cp "$good" "$inf"
rm "$work/package/tarndrv.sys"
expect_rejected "a package without tarndrv.sys" "tarndrv.sys is not in the package"
touch "$work/package/tarndrv.sys"

if [[ -n $host_build ]]; then
    while IFS='|' read -r program description; do
        [[ -z $program ]] && continue
        broken "$program"
        expect_rejected "$description" "does not match the INF" --host "$host_build"
    done <<'EOF'
s/"Maximum instances",0x00010003,20/"Maximum instances",0x00010003,21/|a default the driver does not have
s/"Maximum sampling rate",0x00010003,48000/"Maximum sampling rate",0x00010003,44100/|a format bound the driver does not default to
s/"Milliseconds per interrupt"/"Millisecond per interrupt"/|a value name the driver does not read
s/"Clock correction",0x00010003,65536/"Clock correction",0x00010003,90000/|a value the driver refuses
s/^\(HKLM.*Cable 4","Volume control",0x00010003,\)0/\11/|a default in one location only
EOF
fi

if [[ $failures -gt 0 ]]; then
    echo "check-inf.sh self-test: $failures failure(s)" >&2
    exit 1
fi
echo "check-inf.sh self-test: every broken INF rejected for its reason"
