#!/usr/bin/env bash
# jorvane-sim against a drive that refuses one command (fail_command = N in
# the rig), walked through a run from its first command on every ATAPI
# protocol and the 16 KB download: a refusal the run can do without still
# ends with the new firmware (3010, seen as 194); the first one it cannot do
# without ends with 259 (seen as 3) and the flash's own failure text, never
# with the success line, and the drive keeps the firmware it had.
#
# JV_BUILD: the build folder (holds jorvane-sim and tools/; jorvane and
# tests/sgio_shim.so for the runs through the SG_IO shim).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
merge=$build/tools/jorvane-merge
require_built "$merge"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

drive_version() {  # rig
    JORVANE_RIG=$1 "$sim" /c /n0 | sed -n 's/^Drive Version : //p'
}

# walk <name> <base rig> <flash file> <expected text> <program and arguments...>:
# refuses command 1, 2, ... of the drive's life until the run fails during
# the flash, checking every run on the way.
walk() {
    local name=$1 base=$2 flash=$3 text=$4
    shift 4
    local k out status rig=$work/$name-refusing.ini
    for k in $(seq 1 200); do
        rm -f "$work/$flash"
        { cat "$base"; echo "fail_command = $k 05:24:00"; } >"$rig"
        out=$(printf 'y' | JORVANE_RIG=$rig timeout 60 "$@" 2>&1)
        status=$?
        if [ "$status" -eq 194 ]; then
            if [ "$name" != download ] && [ "$(drive_version "$base")" != "2.00" ]; then
                fail "$name, command $k refused: success without the new firmware"
            fi
            continue
        fi
        [ "$status" -eq 3 ] || { fail "$name, command $k refused: exit status $status:
$out"; return; }
        if grep -qF "Flash Completed" <<<"$out"; then
            fail "$name, command $k refused: 259 after the success line"
        fi
        # Refusals before the flash end with the run's own message.
        grep -qF "Please wait for at least 4 minutes!" <<<"$out" || continue
        grep -qxF -- "$text" <<<"$(tr -d '\r' <<<"$out")" ||
            fail "$name, command $k refused: no line '$text' in:
$out"
        if [ "$name" != download ] && [ "$(drive_version "$base")" != "1.00" ]; then
            fail "$name, command $k refused: the drive changed its firmware all the same"
        fi
        return
    done
    fail "$name: no refused command ever ended the flash"
}

controllers=(none mtk ali mtk2 mtk3 mtk4 mtk5 mtk6 mtk7)
for type in 1 2 3 4 5 6 7 8; do
    name=${controllers[$type]}
    "$make_sample" --package "$name.ytr" --rig "$name.ini" --atapi-type "$type" "$work"
    echo "controller = $name" >>"$name.ini"
    walk "$name" "$work/$name.ini" "$name-flash.bin" "Write Buffer Fail !" "$sim" "$name.ytr"
done

# The download: an updater carrying a Philips-format image in its CVT buffer.
{
    printf 'Philips DVD firmware'
    head -c 16 /dev/zero
    head -c $((2 * 16384 - 40)) /dev/zero | tr '\0' 'Z'
    printf '\x12\x34\xab\xcd'
} >raw.bin
printf '[Main]\r\nUpdater=1\r\n' >settings.ini
"$merge" "$sim" download-updater --cvt raw.bin --settings settings.ini >/dev/null 2>&1 ||
    fail "jorvane-merge could not make the download updater"
printf '[drive]\nvendor = ZERV\nproduct = "VIRTUAL DVD-RW"\ncontroller = philips\n' >download.ini
walk download "$work/download.ini" none "Firmware update failure (05:24:00)" ./download-updater

shim=$build/tests/sgio_shim.so

# A drive that answers in descriptor-format sense refuses the download it
# does not know (ILLEGAL REQUEST, 20/00): the run names the refusal, on the
# last block as on any other, and never reports the flash as done.
# Through jorvane-sim and through the Linux program under the SG_IO shim.
printf '[drive]\nvendor = ZERV\nproduct = "VIRTUAL DVD-RW"\ncontroller = mtk\nsense_format = descriptor\n' \
    >descriptor.ini
{
    printf 'Philips DVD firmware'
    head -c 16 /dev/zero
    head -c $((16384 - 40)) /dev/zero | tr '\0' 'Z'
    printf '\x12\x34\xab\xcd'
} >one-block.bin
descriptor_case() {  # what, program and arguments...
    local what=$1 out status
    shift
    out=$(printf 'y' | JORVANE_RIG=$work/descriptor.ini timeout 60 "$@" 2>&1)
    status=$?
    [ "$status" -eq 3 ] || fail "$what, descriptor sense: exit status $status, expected 3 (259):
$out"
    grep -qxF "Firmware update failure (05:20:00)" <<<"$(tr -d '\r' <<<"$out")" ||
        fail "$what, descriptor sense: no line 'Firmware update failure (05:20:00)' in:
$out"
    if grep -qF "Flash Completed" <<<"$out"; then fail "$what, descriptor sense: success line after a refusal"; fi
}
programs=("$sim")
[ -f "$shim" ] && [ -x "$build/jorvane" ] && programs+=("$build/jorvane")
for program in "${programs[@]}"; do
    for blocks in one two; do
        image=$([ "$blocks" = one ] && echo one-block.bin || echo raw.bin)
        "$merge" "$program" "$blocks-$(basename "$program")" --cvt "$image" --settings settings.ini >/dev/null 2>&1 ||
            fail "jorvane-merge could not make the $blocks-block updater on $program"
        if [ "$program" = "$sim" ]; then
            descriptor_case "$blocks-block download" "./$blocks-$(basename "$program")"
        else
            descriptor_case "$blocks-block download through the shim" \
                env LD_PRELOAD="$shim" "./$blocks-$(basename "$program")"
        fi
    done
done

# A flash start the drive takes but answers only after the host gave up (it
# programs meanwhile), and one it refuses: the first ends with the success
# lines, 3010 and the new firmware, the second with the write failure text,
# 259 and the old firmware. Through jorvane-sim on the page protocol, and
# through the Linux program under the SG_IO shim on the WRITE BUFFER one.
start_case() {  # name, flash_start, program and arguments...
    local name=$1 mode=$2 out status version
    shift 2
    rm -f "$work/$name-flash.bin"
    { cat "$work/$name.ini"; printf 'block_program_ms = 20\nreboot_ms = 300\nflash_start = %s\n' "$mode"; } \
        >"$work/$name-$mode.ini"
    out=$(printf 'y' | JORVANE_RIG=$work/$name-$mode.ini timeout 60 "$@" 2>&1)
    status=$?
    version=$(drive_version "$work/$name.ini")
    if [ "$mode" = held ]; then
        [ "$status" -eq 194 ] || fail "$name, start held: exit status $status, expected 194 (3010):
$out"
        grep -qxF "========== Flash Completed Successfully==========" <<<"$(tr -d '\r' <<<"$out")" ||
            fail "$name, start held: no success line in:
$out"
        [ "$version" = "2.00" ] || fail "$name, start held: the drive reports $version, not the new 2.00"
    else
        [ "$status" -eq 3 ] || fail "$name, start refused: exit status $status, expected 3 (259):
$out"
        grep -qxF "Write Buffer Fail !" <<<"$(tr -d '\r' <<<"$out")" ||
            fail "$name, start refused: no 'Write Buffer Fail !' in:
$out"
        [ "$version" = "1.00" ] || fail "$name, start refused: the drive changed its firmware to $version"
    fi
}
for mode in held refused; do
    start_case mtk "$mode" "$sim" mtk.ytr
    if [ -f "$shim" ] && [ -x "$build/jorvane" ]; then
        start_case mtk5 "$mode" env LD_PRELOAD="$shim" "$build/jorvane" mtk5.ytr
    fi
done
[ -f "$shim" ] || echo "note: no SG_IO shim in this build; the Linux program's start cases did not run"

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "refused commands: all passed"
