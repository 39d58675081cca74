#!/usr/bin/env bash
# The files the programs write, where they may not fit: the sample maker
# makes its folder as mkdir -p does, and a file too large for the disk (here
# the file size limit, ulimit -f, which the writes meet as a full disk would)
# leaves no partial file and keeps the one that was there; jorvane-backup
# says so before the drive is read, and writes nothing.
#
# JV_BUILD: the build folder (jorvane-sim, jorvane-backup-sim, tools/jorvane-make-sample).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
backup_sim=$build/jorvane-backup-sim
require_built "$backup_sim"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# limited KIB PROGRAM ARGS...: runs PROGRAM able to write files of KIB KiB
# at most, the signal of a larger write ignored so that it fails as on a
# full disk; output in $out, status in $status.
limited() {
    local kib=$1
    shift
    out=$(ulimit -f "$kib" && trap '' XFSZ && exec timeout 120 "$@" 2>&1 </dev/null)
    status=$?
}

# Only these names are in the folder: no temporary, no partial file.
expect_names() {  # folder, what, names...
    local folder=$1 what=$2
    shift 2
    local have want
    have=$(cd "$folder" && ls -A | sort | tr '\n' ' ')
    want=$( (($# == 0)) || printf '%s\n' "$@" | sort | tr '\n' ' ')
    [ "$have" = "$want" ] || fail "$what: the folder holds '$have', expected '$want'"
}

# --- the sample maker: the folder and its parents are made ---
"$make_sample" "$work/new/deeper/sample" >/dev/null 2>&1
status=$?
expect_status 0 "a folder that is not there"
expect_names "$work/new/deeper/sample" "a folder that is not there" sample.ytr sample-rig.ini
: >not-a-folder
out=$("$make_sample" "$work/not-a-folder/sample" 2>&1)
status=$?
expect_status 1 "a file in the folder's place"
expect_text "jorvane-make-sample: cannot make the folder $work/not-a-folder/sample: " "a file in the folder's place"

# --- ... and a file too large for the disk leaves nothing half written ---
mkdir full
limited 16 "$make_sample" "$work/full"
expect_status 1 "the sample on a full disk"
expect_text "jorvane-make-sample: cannot write $work/full/sample.ytr: File too large" "the sample on a full disk"
expect_names full "the sample on a full disk"
"$make_sample" --package-version 1.50 "$work/full" || fail "the sample on a disk with room"
cp full/sample.ytr before.ytr
limited 16 "$make_sample" "$work/full"
expect_status 1 "a sample over one that is there"
cmp -s before.ytr full/sample.ytr || fail "a sample over one that is there: the old sample changed"
expect_names full "a sample over one that is there" sample.ytr sample-rig.ini

# --- the backup: told before the drive is read ---
"$make_sample" "$work" >/dev/null || fail "jorvane-make-sample"
run_rig "$work/sample-rig.ini" y "$sim" sample.ytr
expect_status 194 "the drive's firmware"
for twin in "" /rtwin.ini; do
    what="a backup${twin:+ with a twin} larger than may be written"
    limited 16 env JORVANE_RIG="$work/sample-rig.ini" "$backup_sim" /n0 ${twin:+"$twin"} sample.ytr out.ytr
    expect_status 1 "$what"
    # The package's header (64 bytes) and its two banks, each up to 64 KiB.
    expect_text "out.ytr would take 131136 bytes, more than the 16384 this process may write to one file (ulimit -f)." "$what"
    expect_text "No backup was written." "$what"
    expect_no_text "Drive to Back Up" "$what"
    expect_no_text "Reading" "$what"
    [ -e out.ytr ] || [ -e twin.ini ] || [ -e twin-flash.bin ] && fail "$what: a file was written"
done
limited 256 env JORVANE_RIG="$work/sample-rig.ini" "$backup_sim" /n0 /rtwin.ini sample.ytr out.ytr
expect_status 0 "a backup and a twin that may be written"
expect_text "Twin written to twin.ini and twin-flash.bin." "a backup and a twin that may be written"

[ "$failures" -eq 0 ] || exit 1
echo "ok: written_files"
