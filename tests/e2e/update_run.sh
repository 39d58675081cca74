#!/usr/bin/env bash
# End-to-end update runs of jorvane-sim as a user runs it: packages made by
# jorvane-make-sample, updaters made by jorvane-merge, rigs whose drives keep
# their flash in files between runs, answers typed on standard input. Each
# run is compared by its exit status (3010 arrives as 194, 259 as 3), its
# output and what the drive reports afterwards.
#
# JV_BUILD: the build folder (holds jorvane-sim, tools/, tests/sgio_shim.so).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
merge=$build/tools/jorvane-merge
require_built "$merge"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# run <rig> <keys> <program and arguments...>: output in $out, status in $status.
run() {
    local rig=$1 keys=$2
    shift 2
    out=$(printf '%s' "$keys" | JORVANE_RIG=$rig timeout 60 "$@" 2>&1)
    status=$?
}

drive_version() {  # rig, drive number: the version the listing reports
    JORVANE_RIG=$1 "$sim" /c "/n$2" | sed -n 's/^Drive Version : //p'
}

# --- a package file, from the drive's first version to the package's ---
"$make_sample" "$work"
rig=$work/sample-rig.ini
[ "$(drive_version "$rig" 0)" = "1.00" ] || fail "fresh sample drive does not report 1.00"
run "$rig" y "$sim" sample.ytr
expect_status 194 "sample update"
expect_text "Drive to Update : ZERV    VIRTUAL DVD-RW   1.00 250101" "sample update"
expect_text "New Firmware    : ZERV    VIRTUAL DVD-RW   2.00 261207" "sample update"
expect_text "Flash Progress: 100%" "sample update"
expect_text "========== Flash Completed Successfully==========" "sample update"
expect_text "You have to restart os!" "sample update"
[ "$(drive_version "$rig" 0)" = "2.00" ] || fail "after the update the drive does not report 2.00"
# The same drive met again: same version, so the plain question; no is 259.
run "$rig" n "$sim" sample.ytr
expect_status 3 "second run"
expect_text "Drive to Update : ZERV    VIRTUAL DVD-RW   2.00 261207" "second run"
expect_no_text "Warning!" "second run"

# --- every ATAPI protocol, on the rig written with the package (its drive
# speaks every protocol), then on a drive whose firmware speaks only that one ---
controllers=(none mtk ali mtk2 mtk3 mtk4 mtk5 mtk6 mtk7)
for type in 1 2 3 4 5 6 7 8; do
    "$make_sample" --package "type$type.ytr" --rig "type$type-rig.ini" --atapi-type "$type" "$work"
    run "$work/type$type-rig.ini" y "$sim" "type$type.ytr"
    expect_status 194 "type $type on its own rig"
    [ "$(drive_version "$work/type$type-rig.ini" 0)" = "2.00" ] ||
        fail "type $type on its own rig: the drive does not report the new version"
    rm -f "type$type-rig-flash.bin"
    echo "controller = ${controllers[$type]}" >>"type$type-rig.ini"
    run "$work/type$type-rig.ini" y "$sim" "type$type.ytr"
    expect_status 194 "protocol ${controllers[$type]}"
    [ "$(drive_version "$work/type$type-rig.ini" 0)" = "2.00" ] ||
        fail "protocol ${controllers[$type]}: the drive does not report the new version"
done

# --- silent mode prints only the restart line (MTK5 shows its progress even
# then, so this package goes the MTK way) ---
rm -f sample-rig-flash.bin
"$make_sample" --package mtk.ytr --rig - --atapi-type 1 "$work"
run "$rig" "" "$sim" /s mtk.ytr
expect_status 194 "silent update"
# Choosing the flash protocol returns the carriage, even in silent mode.
[ "$(tr -d '\r' <<<"$out")" = "You have to restart os!" ] || fail "silent update printed more than the restart line:
$out"

# --- an older package: the warning names both versions ---
"$make_sample" --package old.ytr --rig old-rig.ini --package-version 1.02 --drive-version 1.10 "$work"
run "$work/old-rig.ini" n "$sim" old.ytr
expect_status 3 "older package"
expect_text "Warning!  1.10 is newer than 1.02 !! Update the drive ?(Y/N)" "older package"
[ "$(drive_version "$work/old-rig.ini" 0)" = "1.10" ] || fail "a declined update changed the drive"

# --- files that are no package ---
run "$rig" y "$sim" missing.ytr
expect_status 3 "missing file"
expect_text "Get YTR File Length Fail !" "missing file"

# --- a PIONEER drive that never gets ready ends the run before any choice ---
{ cat "$rig"; printf '[late]\nvendor = PIONEER\nproduct = DVD-RW  DVR-X99\nready_after_ms = never\n'; } \
    >"$work/pioneer-rig.ini"
run "$work/pioneer-rig.ini" "$(printf '0\ny')" "$sim" sample.ytr
expect_status 3 "PIONEER never ready"
expect_text "Wait For Ready error." "PIONEER never ready"
expect_no_text "Please choose" "PIONEER never ready"

# --- a failure injected into the flash: its text, never the success line ---
{ cat "$rig"; echo "fail_opcode = 3B 04:08:00"; } >"$work/failing-rig.ini"
sed -i 's/^flash_file = .*/flash_file = failing-flash.bin/' "$work/failing-rig.ini"
# (The package named by its absolute name, as a Linux user names files.)
run "$work/failing-rig.ini" y "$sim" "$work/sample.ytr"
expect_status 3 "failing drive"
expect_no_text "Flash Completed" "failing drive"
expect_text "Total flash time" "failing drive"

# --- a merged updater for two models: the chosen drive decides ---
"$make_sample" --package a.ytr --rig a-rig.ini --product "VIRTUAL DVD-A" --hardware-id A1 --package-version 3.00 "$work"
"$make_sample" --package b.ytr --rig b-rig.ini --product "VIRTUAL DVD-B" --hardware-id B1 --package-version 4.00 "$work"
sed 's/^\[sample\]/[b-drive]/' "$work/b-rig.ini" | cat "$work/a-rig.ini" - >"$work/two-rig.ini"
printf '[Main]\r\nUpdater=1\r\n[Other settings]\r\nCheckSum=1\r\nHardwareID=1\r\nModelName=1\r\n' >settings.ini
"$merge" "$sim" updater --package 1 a.ytr --package 2 b.ytr --settings settings.ini >/dev/null 2>&1 ||
    fail "jorvane-merge could not make the updater"
run "$work/two-rig.ini" "$(printf '1\ny')" ./updater
expect_status 194 "updater, drive 1"
expect_text "Please choose the working device and press Enter :" "updater, drive 1"
expect_text "New Firmware    : ZERV    VIRTUAL DVD-B    4.00 " "updater, drive 1"
[ "$(drive_version "$work/two-rig.ini" 1)" = "4.00" ] || fail "updater: drive 1 did not take package 2"
[ "$(drive_version "$work/two-rig.ini" 0)" = "1.00" ] || fail "updater: drive 0 was changed"
run "$work/two-rig.ini" "$(printf 'x\n')" ./updater
expect_status 3 "updater, a letter"
expect_text "Input error." "updater, a letter"

# --- an updater with one package asks nothing but the last question; a
# package whose sum is wrong never goes into an updater, and with the check
# sum setting on it never reaches the drive from a file either ---
"$make_sample" --package one.ytr --rig one-rig.ini --package-version 5.00 "$work"
"$make_sample" --package bad.ytr --rig - --package-version 5.00 --bad-checksum "$work"
"$merge" "$sim" one-updater --package 1 one.ytr --settings settings.ini >/dev/null 2>&1 ||
    fail "jorvane-merge could not make the one-package updater"
"$merge" "$sim" bad-updater --package 3 bad.ytr --settings settings.ini >/dev/null 2>merge-err.txt
status=$? out=$(cat merge-err.txt)
expect_status 1 "merge, bad check sum"
expect_text '"bad.ytr" for package buffer 3: its header check sum' "merge, bad check sum"
[ ! -e bad-updater ] || fail "merge, bad check sum: the updater was written"
printf '[Main]\r\nUpdater=0\r\n[Other settings]\r\nCheckSum=1\r\n' >checking.ini
"$merge" "$sim" checking-sim --settings checking.ini >/dev/null 2>&1 ||
    fail "jorvane-merge could not make the checking program"
run "$work/one-rig.ini" y ./checking-sim bad.ytr
expect_status 3 "bad check sum"
expect_text "Check Sum Error!" "bad check sum"
[ ! -e one-rig-flash.bin ] || fail "bad check sum: the drive's flash was written"
run "$work/one-rig.ini" y ./one-updater
expect_status 194 "updater, one package"
expect_no_text "Please choose" "updater, one package"
[ "$(drive_version "$work/one-rig.ini" 0)" = "5.00" ] || fail "updater, one package: drive not updated"

# --- the Windows 98 machine: the notification is offered back afterwards ---
rm -f sample-rig-flash.bin
{ printf '[Rig]\nplatform = win98\n'; cat "$rig"; } >"$work/win98-rig.ini"
run "$work/win98-rig.ini" "$(printf 'yn')" "$sim" sample.ytr
expect_status 194 "Windows 98 machine"
expect_text "Would you like to activate the auto-insert notification ? (Y/N)" "Windows 98 machine"

# --- the real Linux program through the SG_IO shim does the same update ---
shim=$build/tests/sgio_shim.so
if [ -f "$shim" ] && [ -x "$build/jorvane" ]; then
    rm -f sample-rig-flash.bin
    # Real time passes under the shim: a drive that programs quickly.
    { cat "$rig"; echo "block_program_ms = 20"; echo "reboot_ms = 100"; } >"$work/fast-rig.ini"
    out=$(printf 'y' | JORVANE_RIG=$work/fast-rig.ini LD_PRELOAD=$shim timeout 120 "$build/jorvane" sample.ytr 2>&1)
    status=$?
    expect_status 194 "jorvane through the shim"
    expect_text "========== Flash Completed Successfully==========" "jorvane through the shim"
    [ "$(drive_version "$work/fast-rig.ini" 0)" = "2.00" ] || fail "jorvane through the shim: drive not updated"
    # A drive answering in descriptor-format sense: the page protocols' polls
    # read the busy state and the address it is at from it all the same.
    for type in 4 7; do
        name=${controllers[$type]}
        sed "s/^flash_file = .*/flash_file = descriptor-$name.bin/" "$work/type$type-rig.ini" >"$work/descriptor-$name.ini"
        printf 'sense_format = descriptor\nblock_program_ms = 400\nreboot_ms = 100\n' >>"$work/descriptor-$name.ini"
        out=$(printf 'y' | JORVANE_RIG=$work/descriptor-$name.ini LD_PRELOAD=$shim timeout 120 "$build/jorvane" \
            "type$type.ytr" 2>&1)
        status=$?
        expect_status 194 "$name, descriptor sense, through the shim"
        expect_text "========== Flash Completed Successfully==========" "$name, descriptor sense, through the shim"
        grep -qE 'Address : [0-9A-F]{4}' <<<"$out" || fail "$name, descriptor sense: no address shown in:
$out"
        [ "$(drive_version "$work/descriptor-$name.ini" 0)" = "2.00" ] ||
            fail "$name, descriptor sense, through the shim: drive not updated"
    done
else
    echo "note: no SG_IO shim in this build; the real program's run is left out"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "update runs: all passed"
