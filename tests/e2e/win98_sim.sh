#!/usr/bin/env bash
# jorvane-sim playing a Windows 98 machine whose registry lives in a file
# beside the rig: the auto-insert notification one run switches off is what
# the next run finds, and what it switches back on stays on. Each run is
# compared by its exit status (3010 arrives as 194, 259 as 3), its output and
# the registry file and the drive afterwards.
#
# JV_BUILD: the build folder (holds jorvane-sim and tools/).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The rig and its files live in their own folder; the runs start elsewhere,
# so a relative registry file must be found beside the rig, not here.
mkdir -p "$work/machine" "$work/elsewhere"
cd "$work/elsewhere" || exit 1

# run <keys> <arguments...>: output in $out, error output in $err, status in $status.
run() {
    local keys=$1
    shift
    out=$(printf '%s' "$keys" | JORVANE_RIG=$rig timeout 60 "$sim" "$@" 2>"$work/stderr")
    status=$?
    err=$(cat "$work/stderr")
}

drive_version() {
    JORVANE_RIG=$rig "$sim" /c /n0 | sed -n 's/^Drive Version : //p'
}

# notification <value>: the drive's value as the registry file holds it.
notification() {
    sed -n 's/^"AutoInsertNotification"=hex:\(..\)\r\{0,1\}$/\1/p' "$registry"
}

# MTK5 shows its progress even when silent; this package goes the MTK way.
"$make_sample" --package sample.ytr --rig - --atapi-type 1 "$work"
"$make_sample" --package ignored.ytr --rig rig-body.ini "$work/machine"
rig=$work/machine/win98.ini
registry=$work/machine/machine.reg
{ printf '[Rig]\nplatform = win98\nregistry = machine.reg\n'; cat "$work/machine/rig-body.ini"; } >"$rig"
# A leading "/" starts an option, so the package is named relatively.
package=../sample.ytr

# The drive's model name and version, 28 characters, cut to 25 with every
# space made "_": the revision gives only its first character.
device_key='ZERV____VIRTUAL_DVD-RW__1'
write_registry() {  # value of the notification
    printf 'REGEDIT4\r\n\r\n; the sample drive\r\n[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\%s\\0001]\r\n"RevisionLevel"="1.00"\r\n"AutoInsertNotification"=hex:%s\r\n' \
        "$device_key" "$1" >"$registry"
}
fresh_drive() {
    rm -f "$work/machine/rig-body-flash.bin"
}

# --- on: switched off, the three lines, 259 and nothing written to the drive ---
fresh_drive
write_registry 01
run y "$package"
expect_status 3 "notification on"
expect_text "Owing to the restriction of Windows 98/ME," "notification on"
expect_text "the auto-insert notification must be shutdowned." "notification on"
expect_text "It has been done, but you have to restart os and execute this tool again!" "notification on"
expect_no_text "Flash Completed" "notification on"
[ "$(notification)" = "00" ] || fail "notification on: the file holds '$(notification)', not 00"
[ "$(drive_version)" = "1.00" ] || fail "notification on: the drive was flashed"

# --- the next run finds it off: flashes, offers, and "y" switches it on again ---
run yy "$package"
expect_status 194 "after the restart"
expect_text "========== Flash Completed Successfully==========" "after the restart"
expect_text "Would you like to activate the auto-insert notification ? (Y/N)" "after the restart"
[ "$(notification)" = "01" ] || fail "after the restart: 'y' left '$(notification)' in the file"
[ "$(drive_version)" = "2.00" ] || fail "after the restart: the drive does not report 2.00"
# The file is still one the registry editor reads.
head -n 1 "$registry" | grep -q '^REGEDIT4' || fail "the registry file lost its first line"
grep -qF "[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\$device_key\\0001]" "$registry" ||
    fail "the registry file lost the drive's key:
$(cat "$registry")"
grep -qF '"RevisionLevel"="1.00"' "$registry" || fail "the registry file lost the revision level"

# --- off from the start: the update goes on; "n" leaves it off ---
fresh_drive
write_registry 00
run yn "$package"
expect_status 194 "notification off, n"
expect_no_text "Owing to the restriction" "notification off, n"
expect_text "Would you like to activate the auto-insert notification ? (Y/N)" "notification off, n"
[ "$(notification)" = "00" ] || fail "notification off, n: the file holds '$(notification)'"

# --- silent: switched back on without a question ---
fresh_drive
run "" /s "$package"
expect_status 194 "silent"
expect_no_text "Would you like" "silent"
[ "$(tr -d '\r' <<<"$out")" = "You have to restart os!" ] || fail "silent printed more than the restart line:
$out"
[ "$(notification)" = "01" ] || fail "silent: the file holds '$(notification)', not 01"

# --- a registry without the drive's key: nothing to switch, the update goes on ---
fresh_drive
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\OTHER_DRIVE\\0001]\r\n"RevisionLevel"="1.00"\r\n"AutoInsertNotification"=hex:01\r\n' >"$registry"
before=$(cat "$registry")
run yy "$package"
expect_status 194 "no key for the drive"
[ "$(cat "$registry")" = "$before" ] || fail "no key for the drive: the file was changed"

# --- a missing file is an empty registry, and stays missing ---
fresh_drive
rm -f "$registry"
run yy "$package"
expect_status 194 "no registry file"
[ -z "$err" ] || fail "no registry file: unexpected error output: $err"
[ ! -e "$registry" ] || fail "no registry file: one was made with nothing to keep"

# --- a file it cannot read: said once, an empty registry, the file left alone ---
fresh_drive
printf 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Enum\\SCSI\\%s\\0001]\r\n"RevisionLevel"="1.00"\r\n"AutoInsertNotification"=hex:0g\r\n' \
    "$device_key" >"$registry"
before=$(cat "$registry")
run yy "$package"
expect_status 194 "bad registry file"
[ "$(grep -c 'machine.reg: line 4' <<<"$err")" = 1 ] || fail "bad registry file: not named once on stderr: $err"
expect_no_text "machine.reg" "bad registry file"
[ "$(cat "$registry")" = "$before" ] || fail "bad registry file: it was written over"

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "Windows 98 runs: all passed"
