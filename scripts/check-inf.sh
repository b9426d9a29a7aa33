#!/usr/bin/env bash
# Checks the driver package's INF as far as that can be done without Windows:
# - [Version] names the MEDIA class with its GUID, a provider and a well-formed DriverVer;
# - every section a directive refers to exists, no section is defined twice or left unused, and
#   every %string% has its [Strings] entry;
# - every file the INF copies is listed in [SourceDisksFiles] with a known disk and lies beside
#   the INF (tarndrv.sys built), and lands where the service loads it from;
# - the device is root-enumerated and its one associated service is a kernel driver started on
#   demand (ServiceType 1, StartType 3, ErrorControl 1) whose name matches its binary, which the
#   driver key names too;
# - the device interfaces are exactly the KS categories a WavePci filter (audio, render, capture)
#   and a topology filter (audio, topology) register, for every subdevice name the driver's
#   sources can produce (the name format and the cable limit are read from them), each with the
#   KS proxy CLSID and a friendly name;
# - with --host BUILD_DIR, the host build's package test then loads the driver in the stand-in with
#   the INF's registry values and compares what it runs on and registers (tests/package).
# Usage: scripts/check-inf.sh [-q] [--host BUILD_DIR] <path-to-tarndrv.inf>
# Exits 0 when every check passes (printing a summary unless -q); otherwise names each failure.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
media_class_guid="{4d36e96c-e325-11ce-bfc1-08002be10318}"
ks_proxy_clsid="{17CCA71B-ECD7-11D0-B908-00A0C9223196}"
ks_audio="{6994AD04-93EF-11D0-A3CC-00A0C9223196}"
ks_render="{65E8773E-8F56-11D0-A3B9-00A0C9223196}"
ks_capture="{65E8773D-8F56-11D0-A3B9-00A0C9223196}"
ks_topology="{DDA54A40-1E4C-11D1-A050-405705C10000}"

quiet=false
host_build=
while [[ $# -gt 1 ]]; do
    case $1 in
    -q) quiet=true; shift ;;
    --host) host_build=$2; shift 2 ;;
    *) break ;;
    esac
done
if [[ $# -ne 1 ]]; then
    echo "usage: $0 [-q] [--host BUILD_DIR] <path-to-tarndrv.inf>" >&2
    exit 2
fi
inf=$1
if [[ ! -f $inf ]]; then
    echo "$inf: no such file" >&2
    exit 1
fi
package=$(dirname "$inf")

failures=0
fail() {
    echo "$inf: $*" >&2
    failures=$((failures + 1))
}

# One record per line of the file, comments and blank lines dropped:
#   S section            a section header (names in lower case)
#   X section            a header seen before
#   U section token      a %token% with no [Strings] entry (numbers are directory ids)
#   L section key fields a line: key is the directive's name in lower case ("-" for a line that
#                        is not `key=value`); fields are the value's (or line's) comma-separated
#                        fields, unquoted and trimmed, a field that is one %token% replaced by its
#                        string, separated by \037.
# The file is read twice: the first pass collects [Strings].
parse() {
    awk '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
    function uncomment(s,   i, c, quoted) {
        quoted = 0
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            if (c == "\"") quoted = !quoted
            else if (c == ";" && !quoted) return substr(s, 1, i - 1)
        }
        return s
    }
    function equals_at(s,   i, c, quoted) {
        quoted = 0
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            if (c == "\"") quoted = !quoted
            else if (c == "=" && !quoted) return i
        }
        return 0
    }
    function field(f, was_quoted,   key) {
        f = trim(f)
        if (!was_quoted && f ~ /^%[^%]+%$/) {
            key = tolower(substr(f, 2, length(f) - 2))
            if (key in strings) f = strings[key]
        }
        return f
    }
    function fields(s,   i, c, quoted, was_quoted, f, out, n) {
        quoted = 0; was_quoted = 0; f = ""; out = ""; n = 0
        for (i = 1; i <= length(s); i++) {
            c = substr(s, i, 1)
            if (c == "\"") { quoted = !quoted; was_quoted = 1; continue }
            if (c == "," && !quoted) {
                out = out (n++ ? "\037" : "") field(f, was_quoted); f = ""; was_quoted = 0; continue
            }
            f = f c
        }
        return out (n ? "\037" : "") field(f, was_quoted)
    }
    {
        line = $0
        gsub(/\r/, "", line); gsub(/\t/, " ", line)
        line = trim(uncomment(line))
        if (line == "") next
        if (line ~ /^\[.*\]$/) {
            section = tolower(trim(substr(line, 2, length(line) - 2)))
            if (NR != FNR) { print (section in seen ? "X" : "S") "\t" section; seen[section] = 1 }
            next
        }
        at = equals_at(line)
        if (NR == FNR) {
            if (section == "strings" && at) {
                value = trim(substr(line, at + 1))
                if (value ~ /^".*"$/) value = substr(value, 2, length(value) - 2)
                strings[tolower(trim(substr(line, 1, at - 1)))] = value
            }
            next
        }
        if (section == "strings") next
        rest = line
        while (match(rest, /%[^%]*%/)) {
            token = substr(rest, RSTART + 1, RLENGTH - 2)
            if (token != "" && token !~ /^[0-9]+$/ && !(tolower(token) in strings))
                print "U\t" section "\t" token
            rest = substr(rest, RSTART + RLENGTH)
        }
        if (at) print "L\t" section "\t" tolower(trim(substr(line, 1, at - 1))) "\t" fields(substr(line, at + 1))
        else print "L\t" section "\t-\t" fields(line)
    }' "$1" "$1"
}

declare -A has_section=() body=() used=()
declare -a lines=() f=() names=() models=() device=() service=()
while IFS=$'\t' read -r kind section key fields; do
    case $kind in
    S) has_section[$section]=1 ;;
    X) fail "section [$section] is defined more than once" ;;
    U) fail "[$section]: %$key% has no entry in [Strings]" ;;
    L) body[$section]+="$key"$'\t'"$fields"$'\n' ;;
    esac
done < <(parse "$inf")

# Sets `lines` to the fields (separated by \037) of each line of section $1 whose key is $2: a
# directive's name, "-" for plain lines, or "*" for every line as key, tab, fields.
select_lines() {
    local key fields
    lines=()
    [[ -n ${body[${1,,}]:-} ]] || return 0
    while IFS=$'\t' read -r key fields; do
        if [[ $2 == '*' ]]; then
            lines+=("$key"$'\t'"$fields")
        elif [[ $key == "$2" ]]; then
            lines+=("$fields")
        fi
    done <<<"${body[${1,,}]%$'\n'}"
}
# Sets `value` to the first field of the first `$2=` line of section $1.
first_value() {
    select_lines "$1" "$2"
    value=${lines[0]:-}
    value=${value%%$'\037'*}
}
# Sets the array named $1 to the fields of $2.
split_fields() { IFS=$'\037' read -r -a "$1" <<<"$2"; }
# Marks a section used; reports it and fails when it does not exist.
use_section() {
    used[${1,,}]=1
    if [[ -z ${has_section[${1,,}]:-} ]]; then
        fail "$2 refers to [$1], which does not exist"
        return 1
    fi
}
# Follows each section of `$1`'s `$2=a,b` lists, checking each with `$3`.
follow_list() {
    local -a lists names
    local list name
    select_lines "$1" "${2,,}"
    lists=("${lines[@]}")
    for list in "${lists[@]}"; do
        split_fields names "$list"
        for name in "${names[@]}"; do
            if use_section "$name" "[$1] $2"; then
                "$3" "$name"
            fi
        done
    done
}

# [Version]
use_section Version "the file" || true
first_value Version signature
# shellcheck disable=SC2016 # the signature is literal text
[[ $value == '$Windows NT$' ]] || fail "[Version] Signature is not \"\$Windows NT\$\""
first_value Version class
[[ $value == MEDIA ]] || fail "[Version] Class is not MEDIA"
first_value Version classguid
[[ ${value,,} == "$media_class_guid" ]] || fail "[Version] ClassGuid is not the MEDIA class's $media_class_guid"
first_value Version provider
[[ -n $value ]] || fail "[Version] names no Provider"
select_lines Version driverver
driver_ver=${lines[0]:-}
driver_ver=${driver_ver//$'\037'/,}
[[ $driver_ver =~ ^[01][0-9]/[0-3][0-9]/[0-9]{4},[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    fail "[Version] DriverVer \"$driver_ver\" is not mm/dd/yyyy,w.x.y.z"
first_value Version catalogfile
if [[ -n $value && ! -f $package/$value ]]; then
    fail "the catalog $value is not in the package ($package)"
fi

# Source disks and files, and where files land
declare -A disks=() source_files=() copied=()
use_section SourceDisksNames "the file" || true
select_lines SourceDisksNames '*'
for line in "${lines[@]}"; do
    disks[${line%%$'\t'*}]=1
done
use_section SourceDisksFiles "the file" || true
select_lines SourceDisksFiles '*'
for line in "${lines[@]}"; do
    file=${line%%$'\t'*}
    split_fields f "${line#*$'\t'}"
    source_files[${file,,}]=1
    [[ -n ${disks[${f[0]:-none}]:-} ]] || fail "[SourceDisksFiles] $file is on disk ${f[0]:-(none)}, which [SourceDisksNames] lacks"
    [[ -f $package/$file ]] || fail "$file is not in the package ($package)"
done
use_section DestinationDirs "the file" || true
first_value DestinationDirs defaultdestdir
default_dest=$value

# An AddReg section: known roots, a DWORD's data a number.
check_addreg() {
    local line key
    local -a f
    select_lines "$1" '*'
    for line in "${lines[@]}"; do
        key=${line%%$'\t'*}
        if [[ $key != - ]]; then
            fail "[$1]: a line with '=' is not a registry entry"
            continue
        fi
        split_fields f "${line#*$'\t'}"
        case ${f[0]^^} in
        HKR | HKLM | HKCU | HKCR | HKU) ;;
        *) fail "[$1]: unknown registry root ${f[0]}" ;;
        esac
        if [[ ${f[3]:-0} =~ ^(0x[0-9A-Fa-f]+|[0-9]+)$ ]]; then
            if (((${f[3]:-0} & 0x00010001) == 0x00010001)) && ! [[ ${f[4]:-} =~ ^(0x[0-9A-Fa-f]+|[0-9]+)$ ]]; then
                fail "[$1]: ${f[2]:-(default)} is a DWORD with data \"${f[4]:-}\""
            fi
        else
            fail "[$1]: ${f[2]:-(default)} has flags \"${f[3]}\""
        fi
    done
}
# A copy section: each file listed in [SourceDisksFiles]; remembers the directory it lands in.
check_copy() {
    local line destination
    local -a f
    first_value DestinationDirs "${1,,}"
    destination=${value:-$default_dest}
    [[ -n $destination ]] || fail "[DestinationDirs] gives no directory for [$1]"
    select_lines "$1" -
    for line in "${lines[@]}"; do
        split_fields f "$line"
        [[ -n ${source_files[${f[0],,}]:-} ]] || fail "[$1] copies ${f[0]}, which [SourceDisksFiles] lacks"
        copied[${f[0],,}]=$destination
    done
}
# The data of `HKR,,$2` among the AddReg sections of install section $1, in `value`.
device_key_value() {
    local list section line
    local -a lists names f
    value=
    select_lines "$1" addreg
    lists=("${lines[@]}")
    for list in "${lists[@]}"; do
        split_fields names "$list"
        for section in "${names[@]}"; do
            select_lines "$section" -
            for line in "${lines[@]}"; do
                split_fields f "$line"
                if [[ ${f[0]^^} == HKR && -z ${f[1]:-} && ${f[2],,} == "${2,,}" ]]; then
                    value=${f[4]:-}
                    return
                fi
            done
        done
    done
}

# Manufacturer, models and the one install section
install=
hardware_ids=()
use_section Manufacturer "the file" || true
select_lines Manufacturer '*'
manufacturers=("${lines[@]}")
for manufacturer in "${manufacturers[@]}"; do
    split_fields models "${manufacturer#*$'\t'}"
    targets=("${models[0]}")
    if [[ ${#models[@]} -gt 1 ]]; then
        targets=()
        for decoration in "${models[@]:1}"; do
            targets+=("${models[0]}.$decoration")
        done
        [[ " ${models[*],,} " == *" ntamd64"* ]] || fail "[Manufacturer] has no NTamd64 models section"
    fi
    for target in "${targets[@]}"; do
        use_section "$target" "[Manufacturer]" || continue
        select_lines "$target" '*'
        for line in "${lines[@]}"; do
            split_fields device "${line#*$'\t'}"
            [[ ${#device[@]} -ge 2 ]] || fail "[$target] names no hardware id for ${device[0]}"
            hardware_ids+=("${device[@]:1}")
            if [[ -n $install && ${install,,} != "${device[0],,}" ]]; then
                fail "[$target] installs a second device section, ${device[0]}"
            fi
            install=${device[0]}
        done
    done
done
[[ ${#hardware_ids[@]} -gt 0 ]] || fail "no device is installed"
for id in "${hardware_ids[@]}"; do
    [[ ${id^^} == ROOT\\* ]] || fail "hardware id $id is not root-enumerated (ROOT\\...)"
done

service_name='' service_binary=''
if [[ -n $install ]]; then
    [[ -n ${has_section[${install,,}.ntamd64]:-} ]] && install=$install.NTamd64
    if use_section "$install" "the models section"; then
        select_lines "$install" '*'
        for line in "${lines[@]}"; do
            case ${line%%$'\t'*} in
            copyfiles | addreg | delreg | include | needs) ;;
            *) fail "[$install]: \"${line%%$'\t'*}\" is not a directive this check knows" ;;
            esac
        done
        follow_list "$install" CopyFiles check_copy
        follow_list "$install" AddReg check_addreg
        follow_list "$install" DelReg check_addreg
        # Needs names sections of the system INFs that Include brings in.
        select_lines "$install" include
        included=${lines[*]:-}
        select_lines "$install" needs
        for list in "${lines[@]}"; do
            split_fields names "$list"
            for name in "${names[@]}"; do
                if [[ -z ${has_section[${name,,}]:-} && -z $included ]]; then
                    fail "[$install] Needs [$name], which neither the file nor an Include has"
                fi
            done
        done
        device_key_value "$install" Driver
        driver_value=$value
    fi

    # Services: one associated service, a kernel driver started on demand.
    if use_section "$install.Services" "the install section [$install]"; then
        associated=0
        select_lines "$install.Services" addservice
        services=("${lines[@]}")
        for entry in "${services[@]}"; do
            split_fields service "$entry"
            ((${service[1]:-0} & 0x2)) || continue
            associated=$((associated + 1))
            service_name=${service[0]}
            section=${service[2]:-}
            use_section "$section" "[$install.Services] AddService=$service_name" || continue
            first_value "$section" servicetype
            [[ $value =~ ^(1|0x0*1)$ ]] || fail "[$section] ServiceType is not 1 (kernel driver)"
            first_value "$section" starttype
            [[ $value =~ ^(3|0x0*3)$ ]] || fail "[$section] StartType is not 3 (on demand)"
            first_value "$section" errorcontrol
            [[ $value =~ ^(1|0x0*1)$ ]] || fail "[$section] ErrorControl is not 1 (normal)"
            first_value "$section" servicebinary
            service_binary=$value
            if [[ $service_binary =~ ^%([0-9]+)%\\([^\\]+)$ ]]; then
                binary_dir=${BASH_REMATCH[1]}
                binary_file=${BASH_REMATCH[2]}
                if [[ -z ${copied[${binary_file,,}]:-} ]]; then
                    fail "[$section] loads $binary_file, which the install section does not copy"
                elif [[ ${copied[${binary_file,,}]} != "$binary_dir" ]]; then
                    fail "[$section] loads $binary_file from directory $binary_dir; it is copied to ${copied[${binary_file,,}]}"
                fi
                [[ ${binary_file,,} == "${service_name,,}.sys" ]] ||
                    fail "service $service_name does not match its binary $binary_file"
                [[ ${driver_value,,} == "${binary_file,,}" ]] ||
                    fail "the device key names the driver \"$driver_value\"; the service loads $binary_file"
            else
                fail "[$section] ServiceBinary \"$service_binary\" is not %dirid%\\file"
            fi
            follow_list "$section" AddReg check_addreg
        done
        [[ $associated -eq 1 ]] ||
            fail "[$install.Services] has $associated associated services (AddService flag 0x2), not 1"
    fi
fi

# Interfaces: exactly those the driver's filters register, with the names the sources produce.
read_prefix() {
    local found
    found=$(grep -o 'TARN_WIDE("[^"]*"), "[a-z]*", [A-Za-z>.-]*Index + 1' "$repo/driver/filters/$1" || true)
    if [[ $found =~ ^TARN_WIDE\(\"%S%u\"\),\ \"([a-z]+)\" ]]; then
        echo "${BASH_REMATCH[1]}"
    else
        echo "cannot read the subdevice name (\"%S%u\", its prefix, Index + 1) from driver/filters/$1" >&2
        return 1
    fi
}
wave_prefix=$(read_prefix wave_miniport.cpp) || exit 1
topology_prefix=$(read_prefix topology_miniport.cpp) || exit 1
max_cables=$(sed -n 's/^constexpr ULONG MaxNumberOfCables = \([0-9][0-9]*\);.*/\1/p' "$repo/driver/config/driver_params.h")
if [[ -z $max_cables ]]; then
    echo "cannot read MaxNumberOfCables from driver/config/driver_params.h" >&2
    exit 1
fi
expected=
for ((n = 1; n <= max_cables; n++)); do
    expected+="$ks_audio $wave_prefix$n"$'\n'"$ks_render $wave_prefix$n"$'\n'"$ks_capture $wave_prefix$n"$'\n'
    expected+="$ks_audio $topology_prefix$n"$'\n'"$ks_topology $topology_prefix$n"$'\n'
done
expected=$(sort <<<"${expected%$'\n'}")

check_interface_addreg() {
    local line clsid='' friendly=''
    local -a f
    select_lines "$1" -
    for line in "${lines[@]}"; do
        split_fields f "$line"
        [[ ${f[0]^^} == HKR && -z ${f[1]:-} ]] || continue
        case ${f[2],,} in
        clsid) clsid=${f[4]:-} ;;
        friendlyname) friendly=${f[4]:-} ;;
        esac
    done
    [[ ${clsid^^} == "$ks_proxy_clsid" ]] || fail "[$1] does not set CLSID to the KS proxy's $ks_proxy_clsid"
    [[ -n $friendly ]] || fail "[$1] sets no FriendlyName"
}
declare -A interface_checked=()
interfaces=
if [[ -n $install ]] && use_section "$install.Interfaces" "the install section [$install]"; then
    select_lines "$install.Interfaces" addinterface
    entries=("${lines[@]}")
    for entry in "${entries[@]}"; do
        split_fields f "$entry"
        interfaces+="${f[0]^^} ${f[1]:-}"$'\n'
        section=${f[2]:-}
        if [[ -z $section ]]; then
            fail "AddInterface ${f[0]},${f[1]:-} has no add-interface section"
        elif [[ -z ${interface_checked[${section,,}]:-} ]]; then
            interface_checked[${section,,}]=1
            if use_section "$section" "AddInterface ${f[1]:-}"; then
                select_lines "$section" addreg
                [[ ${#lines[@]} -gt 0 ]] || fail "[$section] adds no registry values"
                follow_list "$section" AddReg check_interface_addreg
            fi
        fi
    done
fi
listed=$(sort <<<"${interfaces%$'\n'}")
if [[ $listed != "$expected" ]]; then
    while IFS= read -r entry; do
        fail "no interface $entry, which the driver registers"
    done < <(comm -13 <(echo "$listed") <(echo "$expected") | head -n 5)
    while IFS= read -r entry; do
        fail "interface $entry, which the driver never registers"
    done < <(comm -23 <(echo "$listed") <(echo "$expected") | uniq | head -n 5)
    duplicates=$(uniq -d <<<"$listed" | head -n 5)
    [[ -z $duplicates ]] || fail "interfaces listed twice: ${duplicates//$'\n'/, }"
fi

# Every section is used.
used[strings]=1
for section in "${!has_section[@]}"; do
    [[ -n ${used[$section]:-} ]] || fail "section [$section] is not used"
done

if [[ $failures -gt 0 ]]; then
    echo "$inf: $failures check(s) failed" >&2
    exit 1
fi

if [[ -n $host_build ]]; then
    if [[ ! -x $host_build/tests/test_package ]]; then
        echo "$host_build/tests/test_package not found: build the host tests first" >&2
        exit 2
    fi
    if ! output=$(TARN_INF=$(realpath "$inf") "$host_build/tests/test_package" 2>&1); then
        grep -E 'Failure|Expected|Which is|Value of|Actual|FAILED' <<<"$output" | head -n 40 >&2
        echo "$inf: the driver in the stand-in does not match the INF (tests/package)" >&2
        exit 1
    fi
fi

if ! $quiet; then
    echo "$inf: MEDIA device ${hardware_ids[*]}, service $service_name ($service_binary, kernel, on demand)," \
        "$(grep -c . <<<"$listed") interfaces for $max_cables cables: every check passes" \
        "$([[ -n $host_build ]] && echo "(with the driver's defaults and filters in the stand-in)")"
fi
