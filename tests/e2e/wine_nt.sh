#!/usr/bin/env bash
# jorvane.exe on an NT machine: Wine runs it in a private 32-bit prefix whose
# drive letters D, F, G and H are CD-ROMs, each backed by a device file that
# the 32-bit SG_IO shim (preloaded into the program's process) answers from
# a virtual drive of the rig. The program's pass-through requests on
# \\.\D: therefore travel through Wine's own SCSI pass-through into Linux
# SG_IO, as on a real machine.
#
# Checked here:
# - "/c" and a full update print the same text as jorvane-sim (rig platform
#   nt) and as the Linux jorvane through the 64-bit shim;
# - the update ends with 3010 (194 in the shell), the drive's flash file
#   holds the new version, and the progress and success lines are there;
# - a flash start the drive holds unanswered ends with 3010 and the new
#   firmware on all three; one it refuses with 259, "Write Buffer Fail !" and
#   the old firmware, and the same text on all three;
# - on NT the program never touches the registry: a drive key whose
#   AutoInsertNotification is 1 stays 1, no notification line is printed,
#   and Wine's relay trace shows no registry call made from jorvane.exe's
#   own image (while it does show that image's drive calls, so the trace
#   would have seen them).
#
# What may differ between the platforms, and is normalised before comparing:
# - "Total flash time : N second(s)." The simulator's clock is virtual and
#   the real programs take real seconds.
# The three find their drives differently (drive letters D, F, G, H on NT,
# /dev/sr0 to /dev/sr3 on Linux, the rig's list in the simulator), but the
# listing names no device and all three keep the rig's order, so nothing
# else differs.
#
# Not checked here: a drive that never answers. Wine hands a program only
# the SCSI status of a pass-through request, never the host's time-out, so
# under Wine such a command looks answered; time-outs are tested in-process.
#
# Builds nothing: JV_BUILD (native) and JV_BUILD_WIN (MinGW) must hold
# jorvane, jorvane-sim, tools/jorvane-make-sample, tests/sgio_shim.so,
# tests/sgio_shim32.so and jorvane.exe. JV_KEEP_WORK=1 keeps the scratch
# folder (texts, traces, rig) for a look after a failure; the Wine prefix
# and its server go in any case.
set -uo pipefail
here_dir=$(dirname -- "${BASH_SOURCE[0]}")
. "$here_dir/lib/checks.sh"
. "$here_dir/lib/wine.sh"

wine_builds
exe=$build_win/jorvane.exe
native=$build/jorvane
sim=$build/jorvane-sim
make_sample=$build/tools/jorvane-make-sample
shim64=$build/tests/sgio_shim.so
shim32=$build/tests/sgio_shim32.so
objdump=i686-w64-mingw32-objdump
wine_require "$exe" "$native" "$sim" "$make_sample" "$shim64" "$shim32"
command -v "$objdump" >/dev/null 2>&1 || { echo "wine_nt: FAIL: $objdump is not installed (scripts/deps.sh)"; exit 1; }

wine_scratch wine-nt

# --- the rig: the sample drive first, then three drives the package is not for.
# Real time passes under the shims: a drive that programs quickly.
"$make_sample" "$work" >/dev/null || { echo "wine_nt: FAIL: jorvane-make-sample"; exit 1; }
rig=$work/rig.ini
{
    printf '[Rig]\nplatform = nt\n'
    cat "$work/sample-rig.ini"
    printf 'block_program_ms = 20\nreboot_ms = 100\n'
    cat "$root/tests/data/rig-three-drives.ini"
} >"$rig"
flash=$work/sample-rig-flash.bin

# --- the prefix: boot it, then make D, F, G and H CD-ROMs with device files.
# E stays unassigned: the scan must step over a letter without a drive.
wine_boot "$exe" /v || { echo "wine_nt: FAIL: no Wine prefix"; exit 1; }
[ "$wine_boot_status" -eq 0 ] || [ "$wine_boot_status" -eq 3 ] ||
    { echo "wine_nt: FAIL: jorvane.exe /v did not run"; cat "$work/boot.err"; exit 1; }
wine_cdrom_letters "$work" d f g h || { echo "wine_nt: FAIL: cannot make the CD-ROM letters"; exit 1; }

# The drive key a Windows 98 run would switch off, its notification on; and
# the relay trace's list: every advapi32 call, the registry calls wherever
# they are exported, and the drive calls as the control.
drive_key='Enum\SCSI\ZERV____VIRTUAL_DVD-RW__1\0000'
relay_include='advapi32.*;RegOpenKeyExA;RegOpenKeyExW;RegOpenKeyA;RegCreateKeyExA;RegCreateKeyA'
relay_include+=';RegEnumKeyExA;RegEnumKeyA;RegQueryValueExA;RegQueryValueA;RegSetValueExA;RegSetValueA'
relay_include+=';RegCloseKey;RegDeleteValueA;RegDeleteKeyA;GetDriveTypeA;DeviceIoControl'
{
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n' "${drive_key//\\/\\\\}"
    printf '"RevisionLevel"="1.00"\r\n"AutoInsertNotification"=hex:01\r\n'
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Debug]\r\n"RelayInclude"="%s"\r\n' "$relay_include"
} >"$work/setup.reg"
wine_reg_import "$work/setup.reg" || { echo "wine_nt: FAIL: reg import"; exit 1; }

notification() { wine_reg_value "HKLM\\$drive_key" AutoInsertNotification; }
[ "$(notification)" = "01" ] || fail "the drive key was not set up with AutoInsertNotification 01"
wine_server_wait

# run_three NAME KEYS ARGS...: the same command on the three platforms; text
# in $work/NAME.{sim,linux,nt}, exit statuses in status_{sim,linux,nt}.
run_three() {
    local name=$1 keys=$2
    shift 2
    rm -f "$flash"
    printf '%s' "$keys" | JORVANE_RIG=$rig timeout 120 "$sim" "$@" >"$work/$name.sim" 2>&1
    status_sim=$?
    sim_version=$(drive_version "$rig")
    rm -f "$flash"
    printf '%s' "$keys" | JORVANE_RIG=$rig LD_PRELOAD=$shim64 timeout 120 "$native" "$@" >"$work/$name.linux" 2>&1
    status_linux=$?
    linux_version=$(drive_version "$rig")
    rm -f "$flash"
    printf '%s' "$keys" | JORVANE_RIG=$rig JORVANE_SHIM_DEVICES=$shim_devices JV_WINE_PRELOAD=$shim32 \
        JV_WINE_TIMEOUT=300 JV_WINEDEBUG=${relay:--all} \
        "$wine_run" "$exe" "$@" >"$work/$name.nt" 2>"$work/$name.nt-err"
    status_nt=$?
    nt_version=$(drive_version "$rig")
}

normalised() { tr -d '\r' <"$1" | flash_time_masked; }

same_text() {  # name
    local other
    for other in linux nt; do
        if ! cmp -s <(normalised "$work/$1.sim") <(normalised "$work/$1.$other"); then
            fail "$1: the $other program's text differs from the simulator's"
            diff -u --label sim --label "$other" <(normalised "$work/$1.sim") <(normalised "$work/$1.$other") |
                head -40 | sed 's/^/    /'
        fi
    done
    # Whatever Wine or the program said on standard error, bar the trace.
    if grep -v -e ':Call ' -e ':Ret  ' -e ':trace:relay:' -e ':Starting thread proc ' "$work/$1.nt-err" |
        head -20 >"$work/$1.nt-notes" && [ -s "$work/$1.nt-notes" ]; then
        echo "note: $1: Wine's standard error:"
        sed 's/^/    /' "$work/$1.nt-notes"
    fi
}

expect_in() {  # file, line, what
    grep -qxF -- "$2" <(tr -d '\r' <"$1") || fail "$3: no line '$2' in $(basename "$1")"
}

# --- the drive listing: four drives, found through four drive letters
relay=
run_three list "" /c
same_text list
[ "$status_nt" -eq "$status_sim" ] && [ "$status_linux" -eq "$status_sim" ] ||
    fail "/c: exit statuses sim $status_sim, linux $status_linux, nt $status_nt"
count=$(grep -c '^Model Name' "$work/list.nt")
[ "$count" -eq 4 ] || fail "/c under Wine listed $count drives, not 4"
expect_in "$work/list.nt" "Model Name    : ZERV    VIRTUAL DVD-RW  " "/c under Wine"
expect_in "$work/list.nt" "Model Name    : ZERV    QLX-2209K       " "/c under Wine"
expect_in "$work/list.nt" "Drive Version : 1.00" "/c under Wine"

# --- the update, traced: the text, the exit code, the drive afterwards
relay=+pid,+relay
run_three update "$(printf '0\ny')" sample.ytr
relay=
same_text update
[ "$status_sim" -eq 194 ] || fail "jorvane-sim update ended with $status_sim, not 194"
[ "$status_linux" -eq 194 ] || fail "Linux jorvane update ended with $status_linux, not 194"
[ "$status_nt" -eq 194 ] || fail "jorvane.exe update ended with $status_nt, not 194 (3010)"
for platform in sim linux nt; do
    version_var=${platform}_version
    [ "${!version_var}" = "2.00" ] || fail "after the $platform update the drive reports '${!version_var}', not 2.00"
done
expect_in "$work/update.nt" "Flash Progress: 100%" "update under Wine"
expect_in "$work/update.nt" "========== Flash Completed Successfully==========" "update under Wine"
expect_in "$work/update.nt" "You have to restart os!" "update under Wine"
if grep -qi "auto-insert" "$work/update.nt"; then fail "update under Wine printed an auto-insert notification line"; fi

# --- no registry access on NT
[ "$(notification)" = "01" ] || fail "the drive key's AutoInsertNotification is no longer 01 after the update"
base=$("$objdump" -p "$exe" | awk '$1 == "ImageBase" { print $2 }')
size=$("$objdump" -p "$exe" | awk '$1 == "SizeOfImage" { print $2 }')
if [ -z "$base" ] || [ -z "$size" ]; then
    fail "cannot read jorvane.exe's image base and size"
else
    # The calls whose return address lies in jorvane.exe's own image. Lines
    # read "pid:tid:Call dll.function(arguments) ret=address". Wine's
    # other processes of the session may call from the same addresses (every
    # program loads at the same base), so only the process that scanned the
    # drive letters from jorvane.exe's image counts. Addresses are compared
    # as 8-digit hex texts, which any awk can do.
    lo=$(printf 'x%08x' $((16#$base)))
    hi=$(printf 'x%08x' $((16#$base + 16#$size)))
    own_calls=$(awk -v lo="$lo" -v hi="$hi" '
        function own(line,    ret) {
            if (!match(line, /ret=[0-9a-fA-F]+/)) return 0
            ret = tolower(substr(line, RSTART + 4, RLENGTH - 4))
            while (length(ret) < 8) ret = "0" ret
            ret = "x" ret
            return ret >= lo && ret < hi
        }
        /:Call / && match($0, /:Call [A-Za-z0-9_]+\.[A-Za-z0-9_]+/) {
            name = substr($0, RSTART + 6, RLENGTH - 6)
            split($0, id, ":")
            if (program == "" && name ~ /\.GetDriveTypeA$/ && index($0, "\"A:\\\\\"") && own($0)) program = id[1]
            if (program != "" && id[1] == program && own($0)) print name
        }' "$work/update.nt-err")
    drive_calls=$(grep -c 'GetDriveTypeA' <<<"$own_calls")
    io_calls=$(grep -c 'DeviceIoControl' <<<"$own_calls")
    registry_calls=$(grep -E '\.Reg[A-Za-z]+$' <<<"$own_calls" | sort | uniq -c)
    [ "$drive_calls" -ge 25 ] ||
        fail "the relay trace shows $drive_calls GetDriveTypeA calls from jorvane.exe, not the 25 of the scan"
    [ "$io_calls" -ge 10 ] || fail "the relay trace shows only $io_calls DeviceIoControl calls from jorvane.exe"
    [ -z "$registry_calls" ] || fail "jorvane.exe called the registry on NT:
$registry_calls"
    [ -n "$registry_calls" ] ||
        echo "relay: $drive_calls GetDriveTypeA and $io_calls DeviceIoControl calls from jorvane.exe, no registry call"
fi

# --- a flash start the drive holds unanswered while it programs, and one it
# refuses. Held: the simulator's pass-through times out (ERROR_SEM_TIMEOUT),
# the Linux program's SG_IO reports the host's time-out, and Wine's
# pass-through shows the program no time-out at all; each must go on to the
# new firmware. Refused: the drive's CHECK CONDITION and sense reach all
# three, which stop with the same text and keep the old firmware.
full_rig=$rig
for mode in held refused; do
    rig=$work/rig-$mode.ini
    sed "s/^block_program_ms = 20\$/&\nflash_start = $mode/" "$full_rig" >"$rig"
    grep -qxF "flash_start = $mode" "$rig" || fail "cannot make the rig with flash_start = $mode"
    run_three "start-$mode" "$(printf '0\ny')" sample.ytr
    if [ "$mode" = held ]; then
        for platform in sim linux nt; do
            status_var=status_$platform version_var=${platform}_version
            [ "${!status_var}" -eq 194 ] || fail "start held: $platform ended with ${!status_var}, not 194 (3010)"
            [ "${!version_var}" = "2.00" ] || fail "start held: after $platform the drive reports '${!version_var}'"
            expect_in "$work/start-held.$platform" "========== Flash Completed Successfully==========" \
                "start held ($platform)"
        done
    else
        same_text start-refused
        for platform in sim linux nt; do
            status_var=status_$platform version_var=${platform}_version
            [ "${!status_var}" -eq 3 ] || fail "start refused: $platform ended with ${!status_var}, not 3 (259)"
            [ "${!version_var}" = "1.00" ] || fail "start refused: after $platform the drive reports '${!version_var}'"
        done
        expect_in "$work/start-refused.nt" "Write Buffer Fail !" "start refused under Wine"
    fi
done
rig=$full_rig

if [ "$failures" -ne 0 ]; then
    echo "wine_nt: $failures check(s) failed"
    exit 1
fi
echo "wine_nt: all checks passed"
