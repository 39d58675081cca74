#!/usr/bin/env bash
# Only the updaters carry the embedded buffers that jorvane-merge fills
# (three package buffers, the settings and the CVT buffer, some 8 MiB):
# jorvane, jorvane-sim and jorvane.exe hold their records, and the read-back
# programs (jorvane-backup, jorvane-verify, their -sim and .exe forms) hold
# no record marker and only a few KiB of writable data. The merge tool
# refuses a read-back program with one line that says why, and writes
# nothing; it still fills an updater.
#
# JV_BUILD: the native build; JV_BUILD_WIN: the Windows build. Builds nothing.
set -uo pipefail
here_dir=$(dirname -- "${BASH_SOURCE[0]}")
. "$here_dir/lib/checks.sh"

native_build
merge=$build/tools/jorvane-merge
build_win=$(cd -- "${JV_BUILD_WIN:-$here_dir/../../build-win}" 2>/dev/null && pwd) ||
    { echo "FAIL: no Windows build folder ${JV_BUILD_WIN:-build-win}"; exit 1; }
require_built "$merge" "$build/jorvane" "$build/jorvane-backup" "$build/jorvane-verify" \
    "$build/jorvane-backup-sim" "$build/jorvane-verify-sim"
for exe in jorvane jorvane-backup jorvane-verify; do
    [ -f "$build_win/$exe.exe" ] || { echo "FAIL: $build_win/$exe.exe is not built"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The records' capacities: three package buffers, the settings, the CVT buffer.
capacity=$((3 * 0x210000 + 0x100000 + 0x110000))
markers=("YTR3 FILE BUFFER" "PARAMETER BUFFER" "CVT FILE BUFFER")

# writable_bytes FILE: the bytes of its .data and .bss sections (ELF or PE).
writable_bytes() {
    size -A "$1" | awk '$1 == ".data" || $1 == ".bss" { sum += $2 } END { print sum + 0 }'
}

check_updater() {  # program
    local marker bytes
    for marker in "${markers[@]}"; do
        grep -qaF "$marker" "$1" || fail "$1: no \"$marker\" record"
    done
    bytes=$(writable_bytes "$1")
    [ "$bytes" -ge "$capacity" ] || fail "$1: $bytes bytes of writable data, less than the buffers' $capacity"
}

check_readback() {  # program
    local marker bytes
    for marker in "${markers[@]}"; do
        if grep -qaF "$marker" "$1"; then fail "$1 holds \"$marker\""; fi
    done
    bytes=$(writable_bytes "$1")
    [ "$bytes" -lt 65536 ] || fail "$1: $bytes bytes of writable data; a program without buffers has a few KiB"
    echo "$(basename -- "$1"): $(wc -c <"$1") bytes, $bytes of them writable data, no buffer"
    err=$("$merge" "$1" merged --package 1 "$build/jorvane" 2>&1 >/dev/null)
    status=$? out=
    expect_status 1 "jorvane-merge on $(basename -- "$1")"
    grep -qF "the backup and verify programs carry none" <<<"$err" ||
        fail "jorvane-merge on $(basename -- "$1") does not say why: $err"
    [ "$(wc -l <<<"$err")" -eq 1 ] || fail "jorvane-merge on $(basename -- "$1"): more than one line: $err"
    [ ! -e merged ] || fail "jorvane-merge on $(basename -- "$1") wrote the new program"
    rm -f merged
}

for program in "$build/jorvane" "$build/jorvane-sim" "$build_win/jorvane.exe"; do check_updater "$program"; done
for program in "$build/jorvane-backup" "$build/jorvane-verify" "$build/jorvane-backup-sim" \
    "$build/jorvane-verify-sim" "$build_win/jorvane-backup.exe" "$build_win/jorvane-verify.exe"; do
    check_readback "$program"
done

# The updater still takes a settings text, and runs with it.
printf '[Main]\r\nUpdater=0\r\nProgramName=Merged Flash\r\nShowCaption=1\r\n' >settings.ini
"$merge" "$build/jorvane-sim" merged-sim --settings settings.ini || fail "jorvane-merge refused jorvane-sim"
out=$(./merged-sim /v </dev/null 2>&1)
expect_text "Merged Flash" "the merged simulator"

[ "$failures" -eq 0 ] || { echo "updater_buffers: $failures failure(s)"; exit 1; }
echo "updater_buffers: all checks passed"
