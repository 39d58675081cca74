#!/usr/bin/env bash
# contrib/ansible/drive-firmware.yml as a user with many machines runs it,
# with Debian's ansible-core, against this machine (-i localhost, -c local)
# and its virtual drive (jorvane_suffix=-sim, JORVANE_RIG through
# jorvane_environment), with the sample of jorvane-make-sample:
#   - a drive that takes the package: the host ends well, the drive reports
#     the new version, the backup, the twin and its flash are on the
#     controller in jorvane_backup_dir/localhost/, and the twin lists the
#     drive as it was;
#   - a drive that refuses the start of its flash: the host fails with the
#     updater's exit status and what it means, the read-back never runs,
#     nothing says the drive holds the package, and the backup is home;
#   - a drive number the host does not have: the host fails before anything
#     is copied or read.
# No run leaves its private folder on the host.
#
# JV_BUILD: the build folder (jorvane-sim, jorvane-backup-sim,
# jorvane-verify-sim, tools/jorvane-make-sample).
set -u
here_dir=$(dirname -- "${BASH_SOURCE[0]}")
. "$here_dir/lib/checks.sh"

root=$(cd -- "$here_dir/../.." && pwd)
playbook=$root/contrib/ansible/drive-firmware.yml
native_build
require_built "$build/jorvane-backup-sim" "$build/jorvane-verify-sim"
command -v ansible-playbook >/dev/null ||
    { echo "FAIL: ansible-playbook is not installed (scripts/deps.sh installs ansible-core)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
mkdir home tmp
# Ansible's own files stay in the scratch folder, and no configuration of
# the machine's user changes what the play does.
: >ansible.cfg
export HOME=$work/home TMPDIR=$work/tmp ANSIBLE_CONFIG=$work/ansible.cfg ANSIBLE_NOCOLOR=1 \
    ANSIBLE_LOCAL_TEMP=$work/home/local ANSIBLE_REMOTE_TEMP=$work/home/remote \
    ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3

"$make_sample" "$work" >/dev/null || { echo "FAIL: jorvane-make-sample"; exit 1; }
{ cat sample-rig.ini; echo "flash_start = refused"; } >refused-rig.ini
sed -i 's/^flash_file = .*/flash_file = refused-flash.bin/' refused-rig.ini

# play NAME RIG DRIVE: runs the playbook; $out, $status.
play() {
    cat >"$1.json" <<EOF
{"jorvane_package": "$work/sample.ytr", "jorvane_bin": "$build", "jorvane_suffix": "-sim",
 "jorvane_drive": $3, "jorvane_backup_dir": "$work/backups-$1",
 "jorvane_environment": {"JORVANE_RIG": "$work/$2"}}
EOF
    out=$(timeout 300 ansible-playbook -i localhost, -c local "$playbook" -e "@$1.json" 2>&1)
    status=$?
    printf '%s\n' "$out" >"$1.log"
    [ -z "$(ls -A tmp)" ] || fail "$1: left on the host: $(ls tmp)"
}

drive_version() {  # rig
    JORVANE_RIG=$1 "$sim" /c /n0 </dev/null 2>/dev/null | sed -n 's/^Drive Version : //p'
}

# --- the drive takes the package ---
play good sample-rig.ini 0
expect_status 0 "a good flash"
expect_text "failed=0" "a good flash"
expect_text "was 1.00, holds sample.ytr now and reports 2.00" "a good flash"
[ "$(drive_version sample-rig.ini)" = 2.00 ] || fail "a good flash: the drive reports $(drive_version sample-rig.ini)"
home=backups-good/localhost
for kind in backup.ytr twin.ini twin-flash.bin; do
    [ "$(ls "$home"/drive0-*-"$kind" 2>/dev/null | wc -l)" -eq 1 ] || fail "a good flash: no $kind in $home: $(ls "$home")"
done
twin=$(ls "$home"/drive0-*-twin.ini 2>/dev/null)
[ -n "$twin" ] && [ "$(drive_version "$twin")" = 1.00 ] || fail "a good flash: the twin does not list the drive as it was"

# --- the drive refuses to start its flash ---
play refused refused-rig.ini 0
[ "$status" -ne 0 ] || fail "a refused flash: ansible-playbook ended with 0"
expect_text "failed=1" "a refused flash"
expect_text "jorvane-sim ended with 3 (259: the drive was not flashed, or its flash failed" "a refused flash"
expect_no_text "TASK [Read the flash back" "a refused flash"
expect_no_text "holds sample.ytr now" "a refused flash"
[ "$(drive_version refused-rig.ini)" = 1.00 ] || fail "a refused flash: the drive reports $(drive_version refused-rig.ini)"
[ "$(ls backups-refused/localhost/drive0-*-backup.ytr 2>/dev/null | wc -l)" -eq 1 ] ||
    fail "a refused flash: the backup is not on the controller"

# --- a drive the host does not have ---
play missing sample-rig.ini 5
[ "$status" -ne 0 ] || fail "a missing drive: ansible-playbook ended with 0"
expect_text "Drive 5 is not in the listing of localhost; its drives are: 0." "a missing drive"
expect_no_text "TASK [Copy the package over]" "a missing drive"
[ ! -e backups-missing ] || fail "a missing drive: something was fetched"

[ "$failures" -eq 0 ] || { echo "ansible_fleet: $failures failure(s); the logs were in $work"; exit 1; }
echo "ansible_fleet: all checks passed"
