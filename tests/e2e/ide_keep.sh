#!/usr/bin/env bash
# The IDE route erases the whole chip and programs the image: whatever the
# chip held behind the image (a drive keeps its calibration, serial number
# and settings in its top sectors) must be there again afterwards, and a
# package that cannot be written whole is refused before the chip is erased.
# Shown with jorvane-sim on virtual drives whose flash files are compared:
# a parallel and a serial chip twice the image, a package beyond the
# controller's reach, one beyond the chip, and a chip known by no ID.
#
# JV_BUILD: the build folder (jorvane-sim, jorvane-backup-sim, tools/jorvane-make-sample).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
require_built "$build/jorvane-backup-sim"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

run() {  # rig, program arguments...: output in $out, status in $status
    local rig=$1
    shift
    out=$(printf y | JORVANE_RIG=$rig timeout 120 "$sim" /i "$@" 2>&1)
    status=$?
}

# package NAME BANKS VERSION IDE-TYPE [RIG]: a package for the IDE route only.
package() {
    "$make_sample" --package "$1.ytr" --rig "${5:--}" --banks "$2" --package-version "$3" --atapi-type 1 "$work" ||
        fail "$1: jorvane-make-sample"
    printf "\\x$(printf %02x "$4")\\x00" | dd of="$1.ytr" bs=1 seek=26 conv=notrunc status=none
}

# The image a package of the sample maker holds: banks of 0xFFFE stored
# bytes, each followed by the two empty bytes the maker leaves.
image_of() {  # package, banks
    local bank
    for ((bank = 0; bank < $2; bank++)); do
        tail -c +$((56 + 4 * $2 + bank * 0xFFFE + 1)) "$1" | head -c $((0xFFFE))
        printf '\0\0'
    done
}

# keep NAME CONTROLLER CHIP BANKS CHIP-BYTES IDE-TYPE: the drive holds its own data in
# the top half of a chip twice the image; an update keeps it byte for byte.
keep() {
    local name=$1 half=$(($5 / 2)) before=$failures
    package "$name-a" "$4" 2.00 "$6" "$name-rig.ini"
    package "$name-b" "$4" 3.00 "$6"
    printf 'ide_controller = %s\nflash_chip = %s\n' "$2" "$3" >>"$name-rig.ini"
    run "$name-rig.ini" "$name-a.ytr"
    expect_status 194 "$name: the first firmware"
    [ "$(stat -c %s "$name-rig-flash.bin")" -eq "$5" ] || fail "$name: the flash file is not the chip's size"
    yes "CAL $name SN-0042 tilt=+3 offset=-17 " | head -c "$half" >own.bin
    dd if=own.bin of="$name-rig-flash.bin" bs=4096 seek=$((half / 4096)) conv=notrunc status=none
    # A backup through the registers reads the whole chip: its twin holds
    # every byte, the package only the image.
    out=$(JORVANE_RIG=$name-rig.ini timeout 120 "$build/jorvane-backup-sim" /i "/r$name-twin.ini" "$name-a.ytr" \
        "$name-backup.ytr" 2>&1 </dev/null)
    status=$?
    expect_status 0 "$name: backup with a twin"
    expect_text ", all $5 bytes read" "$name: backup with a twin"
    expect_text "Backup of $half bytes written to $name-backup.ytr." "$name: backup with a twin"
    cmp -s "$name-rig-flash.bin" "$name-twin-flash.bin" || fail "$name: the twin does not hold the whole chip"
    run "$name-rig.ini" "$name-b.ytr"
    expect_status 194 "$name: the update"
    expect_text "Keeping the $half bytes beyond the image." "$name: the update"
    expect_text "Flash Completed Successfully" "$name: the update"
    cmp -s own.bin <(tail -c +$((half + 1)) "$name-rig-flash.bin") || fail "$name: the top half was not kept"
    cmp -s <(image_of "$name-b.ytr" "$4") <(head -c "$half" "$name-rig-flash.bin") ||
        fail "$name: the image was not written"
    [ "$failures" -eq "$before" ] && echo "ok: $name: the chip's own top half kept byte for byte"
}

keep parallel mtk 6 4 $((0x80000)) 1  # MXIC 29F040
keep serial mtk2 29 2 $((0x40000)) 4  # MXIC MX25L2005

# refused NAME: the run was refused before the chip was touched.
refused() {  # name, why
    expect_status 3 "$1"
    expect_text "$2" "$1"
    expect_text "Write Buffer Fail !" "$1"
    expect_no_text "Flash Completed Successfully" "$1"
    cmp -s before.bin "$1-rig-flash.bin" || fail "$1: the chip was changed"
}

# An ALI controller reaches 256 KiB: a 512 KiB package would wrap onto its
# own start. Its 29F040 is larger than the reach too, which the first
# (fitting) flash says.
package reach-a 4 2.00 2 reach-rig.ini
package reach-b 8 3.00 2
printf 'ide_controller = ali\nflash_chip = 6\n' >>reach-rig.ini
run reach-rig.ini reach-a.ytr
expect_status 194 "reach: the first firmware"
expect_text "The chip's top 262144 bytes lie beyond the controller's reach and are erased." "reach"
cp reach-rig-flash.bin before.bin
run reach-rig.ini reach-b.ytr
refused reach "The image's 524288 bytes lie beyond an ALI controller's reach of 262144."

# A W29EE011 holds 128 KiB: a 256 KiB package does not fit it.
package small-a 2 2.00 1 small-rig.ini
package small-b 4 3.00 1
printf 'ide_controller = mtk\nflash_chip = 5\n' >>small-rig.ini
run small-rig.ini small-a.ytr
expect_status 194 "small chip: the first firmware"
cp small-rig-flash.bin before.bin
run small-rig.ini small-b.ytr
refused small "The image's 262144 bytes do not fit the WINBOND W29EE011 (131072 bytes)."

# A chip that answers no known ID is taken by the catch-all rule: its size is
# unknown, and the run says what that costs.
package unknown 2 2.00 1 unknown-rig.ini
printf 'ide_controller = mtk\nchip_unknown_id = yes\nflash_size = 0x40000\n' >>unknown-rig.ini
run unknown-rig.ini unknown.ytr
expect_status 194 "unknown chip"
expect_text "Chip unknown by its ID: any bytes it holds beyond the image are erased." "unknown chip"

[ "$failures" -eq 0 ] || exit 1
echo "ok: ide_keep"
