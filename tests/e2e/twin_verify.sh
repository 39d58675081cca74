#!/usr/bin/env bash
# Trust on the user's own drive, end to end: back a drive up with a virtual
# twin, rehearse an update on the twin, flash the drive, verify. For every
# ATAPI protocol and for the IDE route with a serial and a parallel chip:
# the twin lists the same line as the drive; an update run on the twin
# prints what the same run prints on the drive and ends the same; verify
# says 0 after the update, 1 for the old firmware, 0 again once the backup
# is flashed back. Then the real programs read the same drive: the Linux
# jorvane-backup and jorvane-verify through the SG_IO shim, and the .exe
# files under Wine on Windows 98 (ASPI) and NT (pass-through), each printing
# what the simulator's programs print and writing the same twin.
#
# JV_BUILD: the native build (jorvane-sim, jorvane-backup[-sim],
# jorvane-verify[-sim], tools/jorvane-make-sample, tests/sgio_shim.so,
# tests/sgio_shim32.so); JV_BUILD_WIN: the Windows build (jorvane-backup.exe,
# jorvane-verify.exe, tests/aspi/WNASPI32.DLL). Builds nothing.
set -uo pipefail
here_dir=$(dirname -- "${BASH_SOURCE[0]}")
. "$here_dir/lib/checks.sh"
. "$here_dir/lib/wine.sh"

wine_builds
sim=$build/jorvane-sim
backup_sim=$build/jorvane-backup-sim
verify_sim=$build/jorvane-verify-sim
make_sample=$build/tools/jorvane-make-sample
require_built "$sim" "$backup_sim" "$verify_sim" "$make_sample" "$build/jorvane-backup" "$build/jorvane-verify"

wine_scratch twin-verify

# verify_says NAME RIG OPTION PACKAGE STATUS TEXT
verify_says() {
    run_rig "$2" "" "$verify_sim" ${3:+"$3"} "$4"
    expect_status "$5" "$1: verify $4"
    expect_text "$6" "$1: verify $4"
}

# journey NAME RIG OLD NEW OPTION: the drive of RIG holds OLD; back it up
# through NEW with a twin, rehearse NEW on the twin, flash NEW, verify, flash
# the backup back, verify. OPTION is /i or nothing. The drive holds bytes in
# the gaps between banks that no package carries: the twin must hold them too.
journey() {
    local name=$1 rig=$2 old=$3 new=$4 opt=$5 failed_before=$failures flash
    flash=$(dirname -- "$rig")/$(sed -n 's/^flash_file = //p' "$rig")
    run_rig "$rig" y "$sim" ${opt:+"$opt"} "$old"
    expect_status 194 "$name: the drive's first firmware"
    printf '\x5a\xa5' | dd of="$flash" bs=1 seek=$((0xFFFE)) conv=notrunc status=none

    run_rig "$rig" "" "$backup_sim" ${opt:+"$opt"} "/r$name-twin.ini" "$new" "$name-backup.ytr"
    expect_status 0 "$name: backup with a twin"
    expect_text "Twin written to $name-twin.ini and $name-twin-flash.bin." "$name: backup with a twin"
    cmp -s -- "$flash" "$name-twin-flash.bin" ||
        cmp -s -- <(head -c "$(stat -c %s "$name-twin-flash.bin")" "$flash") "$name-twin-flash.bin" ||
        fail "$name: the twin's flash is not the bytes the drive holds"

    local drive_list twin_list
    drive_list=$(JORVANE_RIG=$rig timeout 30 "$sim" /c </dev/null 2>&1)
    twin_list=$(JORVANE_RIG=$work/$name-twin.ini timeout 30 "$sim" /c </dev/null 2>&1)
    [ "$drive_list" = "$twin_list" ] || fail "$name: the twin lists otherwise than the drive:
$(diff <(echo "$drive_list") <(echo "$twin_list"))"

    local twin_out twin_status
    run_rig "$work/$name-twin.ini" y "$sim" ${opt:+"$opt"} "$new"
    twin_out=$out twin_status=$status
    run_rig "$rig" y "$sim" ${opt:+"$opt"} "$new"
    expect_status 194 "$name: the update"
    [ "$status" = "$twin_status" ] || fail "$name: the update ends with $status on the drive, $twin_status on the twin"
    [ "$(flash_time_masked <<<"$out")" = "$(flash_time_masked <<<"$twin_out")" ] ||
        fail "$name: the update prints otherwise on the twin:
$(diff <(flash_time_masked <<<"$out") <(flash_time_masked <<<"$twin_out") | head -20)"

    verify_says "$name" "$rig" "$opt" "$new" 0 "The drive holds $new: "
    verify_says "$name" "$rig" "$opt" "$old" 1 "The drive's flash differs from $old in "
    run_rig "$rig" y "$sim" ${opt:+"$opt"} "$name-backup.ytr"
    expect_status 194 "$name: flashing the backup back"
    verify_says "$name" "$rig" "$opt" "$name-backup.ytr" 0 "The drive holds $name-backup.ytr: "
    [ "$failures" -eq "$failed_before" ] && echo "ok: $name: twin, rehearsal, update and verify agree"
}

controllers=(none mtk ali mtk2 mtk3 mtk4 mtk5 mtk6 mtk7)
for type in 1 2 3 4 5 6 7 8; do
    c=${controllers[$type]}
    "$make_sample" --package "$c-a.ytr" --rig "$c-rig.ini" --atapi-type "$type" "$work" &&
        "$make_sample" --package "$c-b.ytr" --rig - --atapi-type "$type" --package-version 3.00 "$work" ||
        { fail "$c: jorvane-make-sample"; continue; }
    echo "controller = $c" >>"$c-rig.ini"
    journey "$c" "$work/$c-rig.ini" "$c-a.ytr" "$c-b.ytr" ""
done

ide_samples
journey serial "$work/serial-rig.ini" serial-a.ytr serial-b.ytr /i
journey parallel "$work/parallel-rig.ini" parallel-a.ytr parallel-b.ytr /i
grep -q '^flash_chip = 31$' serial-twin.ini || fail "serial: the twin's chip is not the chip identified"

# A twin never takes the place of a file, and a failed one leaves nothing.
: >taken-flash.bin
run_rig "$work/mtk-rig.ini" "" "$backup_sim" /rtaken.ini mtk-a.ytr never.ytr
expect_status 1 "a taken twin name"
expect_text "taken-flash.bin exists already; name a new file." "a taken twin name"
[ ! -e taken.ini ] && [ ! -e never.ytr ] || fail "a taken twin name: a file was written"
run_rig "$work/mtk-rig.ini" "" "$verify_sim" mtk-a.ytr mtk-b.ytr
expect_status 2 "verify with two files"
sed 's/^flash_file = .*/flash_file = small-flash.bin/' mtk-rig.ini >small-rig.ini
echo "flash_size = 0x10000" >>small-rig.ini
run_rig "$work/small-rig.ini" "" "$verify_sim" mtk-a.ytr
expect_status 3 "verify of a flash smaller than the package"
expect_text "Reading the flash failed at block 010000h: ILLEGAL REQUEST (05/24/00)." \
    "verify of a flash smaller than the package"
sed 's/^flash_file = .*/flash_file = short-flash.bin/' mtk-rig.ini >short-rig.ini
echo "short_read = yes" >>short-rig.ini
run_rig "$work/short-rig.ini" "" "$verify_sim" mtk-a.ytr
expect_status 3 "verify of reads that bring half a block"
expect_text "Reading the flash failed at block 000000h: the drive returned 128 of 256 bytes." \
    "verify of reads that bring half a block"
expect_no_text "The drive holds" "verify of reads that bring half a block"

# The journey on a drive as it comes from the factory: its backup holds the
# firmware it reports, and once flashed back the drive reports it again. An
# erased flash gives no backup, no twin and no verify.
"$make_sample" --package fresh.ytr --rig fresh-rig.ini "$work" || fail "fresh: jorvane-make-sample"
run_rig "$work/fresh-rig.ini" "" "$backup_sim" /rfresh-twin.ini fresh.ytr fresh-backup.ytr
expect_status 0 "fresh: backup"
expect_text "Version                  : 1.00" "fresh: backup"
run_rig "$work/fresh-rig.ini" y "$sim" fresh.ytr
expect_status 194 "fresh: the update"
run_rig "$work/fresh-rig.ini" y "$sim" fresh-backup.ytr
expect_status 194 "fresh: flashing the backup back"
[ "$(drive_version "$work/fresh-rig.ini")" = 1.00 ] ||
    fail "fresh: after the backup the drive reports $(drive_version "$work/fresh-rig.ini"), not 1.00"
verify_says fresh "$work/fresh-rig.ini" "" fresh-backup.ytr 0 "The drive holds fresh-backup.ytr: "
no_firmware="The flash read back holds no firmware information block: nothing was written."
sed 's/^flash_file = .*/flash_file = blank-flash.bin/' fresh-rig.ini >blank-rig.ini
echo "flash_blank = yes" >>blank-rig.ini
run_rig "$work/blank-rig.ini" "" "$backup_sim" /rblank-twin.ini fresh.ytr blank.ytr
expect_status 1 "an erased flash: backup"
expect_text "$no_firmware" "an erased flash: backup"
[ ! -e blank.ytr ] && [ ! -e blank-twin.ini ] && [ ! -e blank-twin-flash.bin ] || fail "an erased flash: a file was written"
verify_says blank "$work/blank-rig.ini" "" fresh.ytr 3 "$no_firmware"

# --- the real programs read the drive the simulator's programs read ---
"$make_sample" --package real-a.ytr --rig real-rig.ini "$work" &&
    "$make_sample" --package real-b.ytr --rig - --package-version 3.00 "$work" || fail "real: jorvane-make-sample"
run_rig "$work/real-rig.ini" y "$sim" real-a.ytr
expect_status 194 "real: the drive's firmware"
for platform in linux win98 nt; do
    { [ "$platform" = linux ] || printf '[Rig]\nplatform = %s\n' "$platform"; cat real-rig.ini; } >"$platform-rig.ini"
done
# Beside the comment header (where and when) and its flash file's name, the
# twin is the same file.
twin_body() { grep -v '^;\|^flash_file = ' "$1"; }
masked() { tr -d '\r' <<<"$1" | sed -E 's/(written to )[^ ]*( and )[^ ]*\.$/\1T\2F./; s/(Backup of [0-9]+ bytes written to ).*/\1OUT./'; }

# same_as_sim PLATFORM PROGRAM TEXT STATUS [TWIN]: a real program's run
# against the simulator program's on the same rig.
same_as_sim() {
    local platform=$1 program=$2 sim_out sim_status failed_before=$failures
    shift 2
    if [ "$program" = backup ]; then
        sim_out=$(JORVANE_RIG=$work/$platform-rig.ini timeout 120 "$backup_sim" "/rsim-$platform-twin.ini" real-b.ytr \
                  "sim-$platform.ytr" </dev/null 2>&1)
    else
        sim_out=$(JORVANE_RIG=$work/$platform-rig.ini timeout 120 "$verify_sim" real-a.ytr </dev/null 2>&1)
    fi
    sim_status=$?
    [ "$2" -eq "$sim_status" ] || fail "$platform $program: exit status $2, the simulator's $sim_status"
    [ "$(masked "$1")" = "$(masked "$sim_out")" ] || fail "$platform $program: other text than the simulator's:
$(diff <(masked "$sim_out") <(masked "$1") | head -20)"
    if [ "$program" = backup ]; then
        [ "$(twin_body "$platform-twin.ini")" = "$(twin_body "sim-$platform-twin.ini")" ] &&
            cmp -s "$platform-twin-flash.bin" "sim-$platform-twin-flash.bin" ||
            fail "$platform: the twin differs from the simulator's"
        grep -q "^; A virtual twin of drive 0 (" "$platform-twin.ini" || fail "$platform: the twin says not where it came from"
    fi
    [ "$failures" -eq "$failed_before" ] && echo "ok: $platform $program: the same as the simulator"
}

shim=$build/tests/sgio_shim.so
[ -f "$shim" ] || fail "no SG_IO shim at $shim"
linux() { JORVANE_RIG=$work/linux-rig.ini LD_PRELOAD=$shim timeout 120 "$@" </dev/null 2>&1; }
out=$(linux "$build/jorvane-backup" /rlinux-twin.ini real-b.ytr linux.ytr)
same_as_sim linux backup "$out" $?
out=$(linux "$build/jorvane-verify" real-a.ytr)
same_as_sim linux verify "$out" $?

backup_exe=$build_win/jorvane-backup.exe
verify_exe=$build_win/jorvane-verify.exe
dll=$build_win/tests/aspi/WNASPI32.DLL
shim32=$build/tests/sgio_shim32.so
wine_require "$backup_exe" "$verify_exe" "$dll" "$shim32"
wine_boot "$verify_exe" /h || { fail "no Wine prefix"; exit 1; }

wine_windows_version win98 && wine_install_aspi "$dll" || fail "win98: the prefix could not be set up"
win98() { JORVANE_RIG=$(windows_path "$work/win98-rig.ini") JV_WINE_TIMEOUT=300 "$wine_run" "$@" </dev/null 2>>"$work/win98.err"; }
out=$(win98 "$backup_exe" /rwin98-twin.ini real-b.ytr win98.ytr)
same_as_sim win98 backup "$out" $?
out=$(win98 "$verify_exe" real-a.ytr)
same_as_sim win98 verify "$out" $?

wine_windows_version winxp && wine_cdrom_letters "$work" d || fail "nt: the prefix could not be set up"
nt() {
    JORVANE_RIG=$work/nt-rig.ini JORVANE_SHIM_DEVICES=$shim_devices JV_WINE_PRELOAD=$shim32 JV_WINE_TIMEOUT=300 \
        "$wine_run" "$@" </dev/null 2>>"$work/nt.err"
}
out=$(nt "$backup_exe" /rnt-twin.ini real-b.ytr nt.ytr)
same_as_sim nt backup "$out" $?
out=$(nt "$verify_exe" real-a.ytr)
same_as_sim nt verify "$out" $?

if [ "$failures" -gt 0 ]; then
    echo "twin_verify: $failures failure(s)"
    exit 1
fi
echo "twin_verify: all passed"
