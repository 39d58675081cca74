#!/usr/bin/env bash
# jorvane-backup end to end, as a user runs it: back a drive up, flash
# another package, flash the backup, and the drive's flash holds again, byte
# for byte, what it held at the start. Shown on virtual drives with
# jorvane-backup-sim and jorvane-sim for every ATAPI protocol and for the
# IDE route with a serial and a parallel chip (the flash files beside the
# rigs are compared); then the failures that must leave no file; then the
# real programs: the Linux jorvane-backup through the SG_IO shim, and
# jorvane-backup.exe under Wine on Windows 98 (ASPI, through the test double
# WNASPI32.DLL) and on NT (pass-through on D: to the 32-bit SG_IO shim),
# each printing what the simulator prints and writing the same file.
#
# JV_BUILD: the native build (jorvane-backup-sim, jorvane-sim, jorvane-backup,
# tools/jorvane-make-sample, tests/sgio_shim.so, tests/sgio_shim32.so);
# JV_BUILD_WIN: the Windows build (jorvane-backup.exe, tests/aspi/WNASPI32.DLL).
# Builds nothing.
set -uo pipefail
here_dir=$(dirname -- "${BASH_SOURCE[0]}")
. "$here_dir/lib/checks.sh"
. "$here_dir/lib/wine.sh"

wine_builds
backup_sim=$build/jorvane-backup-sim
sim=$build/jorvane-sim
make_sample=$build/tools/jorvane-make-sample
require_built "$backup_sim" "$sim" "$make_sample" "$build/jorvane-backup"

wine_scratch backup

# round_trip NAME RIG LIKE OTHER BACKUP-OPTIONS UPDATER-OPTIONS: the drive of
# RIG holds some firmware; back it up through LIKE, flash OTHER, flash the
# backup: the flash file must be what it was. Options are one word or none.
# The samples' banks stop two bytes short of 64 KB; the drive holds code in
# those gaps, as a drive flashed by other means may, and every protocol that
# sends them must get them back.
round_trip() {
    local name=$1 rig=$2 like=$3 other=$4 bopt=$5 uopt=$6 flash failed_before=$failures
    flash=$(dirname -- "$rig")/$(sed -n 's/^flash_file = //p' "$rig")
    for gap in 0xFFFE 0x1FFFE; do
        printf '\x5a\xa5' | dd of="$flash" bs=1 seek=$((gap)) conv=notrunc status=none
    done
    cp -- "$flash" "$name-start.bin"
    local before
    before=$(drive_version "$rig")
    run_rig "$rig" "" "$backup_sim" ${bopt:+"$bopt"} "$like" "$name-backup.ytr"
    expect_status 0 "$name: backup"
    expect_text "Backup of " "$name: backup"
    [ -f "$name-backup.ytr" ] || fail "$name: no backup file"
    run_rig "$rig" y "$sim" ${uopt:+"$uopt"} "$other"
    expect_status 194 "$name: flashing $other"
    cmp -s -- "$name-start.bin" "$flash" && fail "$name: flashing $other left the flash as it was"
    run_rig "$rig" y "$sim" ${uopt:+"$uopt"} "$name-backup.ytr"
    expect_status 194 "$name: flashing the backup"
    cmp -s -- "$name-start.bin" "$flash" || fail "$name: after the backup was flashed back the flash differs from the start:
$(cmp -l -- "$name-start.bin" "$flash" | head -5)"
    [ "$(drive_version "$rig")" = "$before" ] || fail "$name: the drive reports $(drive_version "$rig"), not $before"
    [ "$failures" -eq "$failed_before" ] && echo "ok: $name: backed up, overwritten, restored to the same bytes"
}

# --- the ATAPI route, every protocol on a drive that speaks only it ---
controllers=(none mtk ali mtk2 mtk3 mtk4 mtk5 mtk6 mtk7)
for type in 1 2 3 4 5 6 7 8; do
    c=${controllers[$type]}
    "$make_sample" --package "$c-a.ytr" --rig "$c-rig.ini" --atapi-type "$type" "$work" &&
        "$make_sample" --package "$c-b.ytr" --rig - --atapi-type "$type" --package-version 3.00 "$work" ||
        { fail "$c: jorvane-make-sample"; continue; }
    echo "controller = $c" >>"$c-rig.ini"
    run_rig "$work/$c-rig.ini" y "$sim" "$c-a.ytr"
    expect_status 194 "$c: the drive's first firmware"
    round_trip "$c" "$work/$c-rig.ini" "$c-b.ytr" "$c-b.ytr" "" ""
done
run_rig "$work/mtk5-rig.ini" "" "$backup_sim" mtk5-a.ytr shown.ytr
expect_text "Drive to Back Up : ZERV    VIRTUAL DVD-RW   2.00 261207" "the drive's lines"
expect_text "Read Through     : ATAPI, MTK5 Type" "the drive's lines"
expect_text "Reading Again    : 100%" "the drive's lines"
expect_text "Version                  : 2.00" "the backup's information block"

# --- the IDE route: a serial chip (the package has only an IDE flash type)
# and a parallel one (ATAPI type too, so /i chooses the route) ---
ide_samples
for chip in serial parallel; do
    run_rig "$work/$chip-rig.ini" y "$sim" /i "$chip-a.ytr"
    expect_status 194 "$chip chip: the first firmware"
done
round_trip serial "$work/serial-rig.ini" serial-b.ytr serial-b.ytr "" /i
round_trip parallel "$work/parallel-rig.ini" parallel-b.ytr parallel-b.ytr /i /i
run_rig "$work/serial-rig.ini" "" "$backup_sim" serial-a.ytr chip.ytr
expect_text "Read Through     : IDE, MTK2 Type" "serial chip lines"
expect_text "Flash Chip       : MXIC MX25L1605A" "serial chip lines"
[[ $out == *$'\r'* ]] && fail "serial chip lines: a carriage return in the transcript"

# --- failures leave no file ---
sed 's/^flash_file = .*/flash_file = small-flash.bin/' mtk-rig.ini >small-rig.ini
echo "flash_size = 0x10000" >>small-rig.ini
run_rig "$work/small-rig.ini" "" "$backup_sim" mtk-a.ytr small.ytr
expect_status 1 "a flash smaller than the package"
expect_text "Reading the flash failed at block 010000h: ILLEGAL REQUEST (05/24/00)." "a flash smaller than the package"
expect_text "No backup was written." "a flash smaller than the package"
[ ! -e small.ytr ] || fail "a flash smaller than the package: small.ytr was written"
ls small.ytr.* >/dev/null 2>&1 && fail "a flash smaller than the package: a temporary file was left"
# Reads that end GOOD with half a block: never zeros in place of the rest.
sed 's/^flash_file = .*/flash_file = short-flash.bin/' mtk-rig.ini >short-rig.ini
echo "short_read = yes" >>short-rig.ini
run_rig "$work/short-rig.ini" "" "$backup_sim" mtk-a.ytr short.ytr
expect_status 1 "reads that bring half a block"
expect_text "Reading the flash failed at block 000000h: the drive returned 128 of 256 bytes." \
    "reads that bring half a block"
[ ! -e short.ytr ] || fail "reads that bring half a block: short.ytr was written"

cp mtk-a.ytr kept.ytr
run_rig "$work/mtk-rig.ini" "" "$backup_sim" mtk-a.ytr kept.ytr
expect_status 1 "an existing file"
expect_text "kept.ytr exists already; name a new file." "an existing file"
cmp -s mtk-a.ytr kept.ytr || fail "an existing file: it was changed"
# A file that takes the name while the backup runs is kept: strace holds the
# last rename back for a second, and the file appears meanwhile.
command -v strace >/dev/null || fail "strace is not installed (scripts/deps.sh installs it)"
(for _ in $(seq 200); do ls jv-*.tmp >/dev/null 2>&1 && break; sleep 0.05; done; echo racer >raced.ytr) &
out=$(JORVANE_RIG=$work/mtk-rig.ini strace -f -o /dev/null -e trace=rename,renameat2 \
    -e inject=rename,renameat2:delay_enter=1000000 "$backup_sim" mtk-a.ytr raced.ytr </dev/null 2>&1)
status=$?
wait
expect_status 1 "a file that appears meanwhile"
expect_text "raced.ytr exists already; name a new file." "a file that appears meanwhile"
[ "$(cat raced.ytr)" = racer ] || fail "a file that appears meanwhile: it was replaced"
ls jv-*.tmp >/dev/null 2>&1 && fail "a file that appears meanwhile: a temporary file was left"
# A name that cannot be looked at is no file that exists.
run_rig "$work/mtk-rig.ini" "" "$backup_sim" mtk-a.ytr "$(printf 'x%.0s' {1..260}).ytr"
expect_status 1 "a name too long"
expect_text "File name too long." "a name too long"

run_rig "$work/mtk-rig.ini" "" "$backup_sim" /h
expect_status 0 "help"
expect_text "Usage: jorvane-backup [/nN] [/i] [/rTWIN.ini] LIKE.ytr OUT.ytr" "help"
run_rig "$work/mtk-rig.ini" "" "$backup_sim" mtk-a.ytr
expect_status 2 "one file name"
expect_text "Arguments Error!" "one file name"

# --- the real programs, on a drive that answers quickly in real time ---
"$make_sample" --package real.ytr --rig real-rig.ini "$work" || fail "real: jorvane-make-sample"
printf 'block_program_ms = 20\nreboot_ms = 100\n' >>real-rig.ini
run_rig "$work/real-rig.ini" y "$sim" real.ytr
expect_status 194 "real: the drive's firmware"
masked() { tr -d '\r' <<<"$1" | sed 's/^Backup of \([0-9]*\) bytes written to .*/Backup of \1 bytes written to OUT./'; }
for platform in linux win98 nt; do
    { [ "$platform" = linux ] || printf '[Rig]\nplatform = %s\n' "$platform"; cat real-rig.ini; } >"$platform-rig.ini"
done

# same_as_sim NAME TEXT STATUS FILE: a real program's run against
# jorvane-backup-sim's on the same rig, NAME-rig.ini.
same_as_sim() {
    local sim_out sim_status
    sim_out=$(JORVANE_RIG=$work/$1-rig.ini timeout 120 "$backup_sim" real.ytr "sim-$1.ytr" </dev/null 2>&1)
    sim_status=$?
    [ "$3" -eq "$sim_status" ] || fail "$1: exit status $3, jorvane-backup-sim's $sim_status"
    [ "$(masked "$2")" = "$(masked "$sim_out")" ] || fail "$1: other text than jorvane-backup-sim:
$(diff <(masked "$sim_out") <(masked "$2") | head -20)"
    cmp -s -- "$4" "sim-$1.ytr" || fail "$1: the backup differs from jorvane-backup-sim's"
    [ "$3" -eq 0 ] && echo "ok: $1: the same text and the same file as jorvane-backup-sim"
}

shim=$build/tests/sgio_shim.so
[ -f "$shim" ] || fail "no SG_IO shim at $shim"
out=$(JORVANE_RIG=$work/linux-rig.ini LD_PRELOAD=$shim timeout 120 "$build/jorvane-backup" real.ytr linux.ytr </dev/null 2>&1)
same_as_sim linux "$out" $? linux.ytr

# The same drive, reading half of every block: every real route counts what
# its system says came (the kernel's residue through the shim, ASPI's
# residual count, the pass-through's transfer length) and fails as the
# simulator does.
for platform in linux win98 nt; do
    { cat "$platform-rig.ini"; echo "short_read = yes"; } >"$platform-short-rig.ini"
done
short_read_text="Reading the flash failed at block 000000h: the drive returned 128 of 256 bytes."
short_as_sim() {  # PLATFORM TEXT STATUS: a real program's run on PLATFORM-short-rig.ini
    local sim_out
    sim_out=$(JORVANE_RIG=$work/$1-short-rig.ini timeout 120 "$backup_sim" real.ytr "sim-$1-short.ytr" </dev/null 2>&1)
    [ "$3" -eq 1 ] || fail "$1, short reads: exit status $3, expected 1"
    grep -qxF -- "$short_read_text" <<<"$(tr -d '\r' <<<"$2")" || fail "$1, short reads: no line '$short_read_text' in:
$2"
    [ "$(masked "$2")" = "$(masked "$sim_out")" ] || fail "$1, short reads: other text than jorvane-backup-sim:
$(diff <(masked "$sim_out") <(masked "$2") | head -20)"
    [ ! -e "$1-short.ytr" ] || fail "$1, short reads: a backup was written"
}
out=$(JORVANE_RIG=$work/linux-short-rig.ini LD_PRELOAD=$shim timeout 120 "$build/jorvane-backup" real.ytr \
      linux-short.ytr </dev/null 2>&1)
short_as_sim linux "$out" $?
# A refused read in the drive's words, with libsgutils2's text for its code.
{ cat linux-rig.ini; echo "flash_size = 0x10000"; } >linux-small-rig.ini
out=$(JORVANE_RIG=$work/linux-small-rig.ini LD_PRELOAD=$shim timeout 120 "$build/jorvane-backup" real.ytr \
      linux-small.ytr </dev/null 2>&1)
status=$?
expect_status 1 "linux, a refused read"
expect_text "Reading the flash failed at block 010000h: ILLEGAL REQUEST (05/24/00), Invalid field in cdb." \
    "linux, a refused read"

exe=$build_win/jorvane-backup.exe
dll=$build_win/tests/aspi/WNASPI32.DLL
shim32=$build/tests/sgio_shim32.so
wine_require "$exe" "$dll" "$shim32"
wine_boot "$exe" /h || { fail "no Wine prefix"; exit 1; }

# Windows 98: the ASPI route through the test double.
wine_windows_version win98 && wine_install_aspi "$dll" || fail "win98: the prefix could not be set up"
out=$(JORVANE_RIG=$(windows_path "$work/win98-rig.ini") JV_WINE_TIMEOUT=300 "$wine_run" "$exe" real.ytr win98.ytr \
      </dev/null 2>"$work/win98.err")
same_as_sim win98 "$out" $? win98.ytr
out=$(JORVANE_RIG=$(windows_path "$work/win98-short-rig.ini") JV_WINE_TIMEOUT=300 "$wine_run" "$exe" real.ytr \
      win98-short.ytr </dev/null 2>>"$work/win98.err")
short_as_sim win98 "$out" $?

# NT: pass-through on D:, served by the 32-bit shim.
wine_windows_version winxp && wine_cdrom_letters "$work" d || fail "nt: the prefix could not be set up"
out=$(JORVANE_RIG=$work/nt-rig.ini JORVANE_SHIM_DEVICES=$shim_devices JV_WINE_PRELOAD=$shim32 JV_WINE_TIMEOUT=300 \
      "$wine_run" "$exe" real.ytr nt.ytr </dev/null 2>"$work/nt.err")
same_as_sim nt "$out" $? nt.ytr
out=$(JORVANE_RIG=$work/nt-short-rig.ini JORVANE_SHIM_DEVICES=$shim_devices JV_WINE_PRELOAD=$shim32 JV_WINE_TIMEOUT=300 \
      "$wine_run" "$exe" real.ytr nt-short.ytr </dev/null 2>>"$work/nt.err")
short_as_sim nt "$out" $?

if [ "$failures" -gt 0 ]; then
    echo "backup: $failures failure(s)"
    exit 1
fi
echo "backup: all passed"
