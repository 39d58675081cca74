#!/usr/bin/env bash
# End-to-end run of the SG_IO shim: sg3_utils' own sg_inq and sg_turs, which
# nobody here wrote, query the virtual drives of a rig through /dev/srN and
# must see what the rig says. When the Linux build of the updater lists
# drives, its "/c" listing through the shim must match the simulator's.
#
# JV_BUILD: the build folder (holds tests/sgio_shim.so, jorvane, jorvane-sim).
set -u

here=$(cd "$(dirname "$0")" && pwd)
build=${JV_BUILD:?set JV_BUILD to the build folder}
shim=$build/tests/sgio_shim.so
rig=$here/../data/rig-three-drives.ini
failures=0

for tool in sg_inq sg_turs sg_raw; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool (Debian package sg3-utils) is not installed"
        exit 77
    fi
done
[ -f "$shim" ] || { echo "FAIL: no shim at $shim"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs a command under the shim with the given rig; never waits long.
shimmed() {
    local rigFile=$1
    shift
    JORVANE_RIG=$rigFile LD_PRELOAD=$shim timeout 30 "$@"
}

expect_line() {  # text, expected line, what
    if ! grep -qxF -- "$2" <<<"$1"; then
        fail "$3: expected line '$2' in:"
        printf '%s\n' "$1" | sed 's/^/    /'
    fi
}

# sg_inq reports each drive's identity, space padding included.
check_identity() {  # device, vendor, product, revision, hardware id + date code (INQUIRY bytes 38-45)
    local out
    out=$(shimmed "$rig" sg_inq "$1" 2>&1) || fail "sg_inq $1 exited $?"
    expect_line "$out" " Vendor identification: $2" "sg_inq $1"
    expect_line "$out" " Product identification: $3" "sg_inq $1"
    expect_line "$out" " Product revision level: $4" "sg_inq $1"
    local raw
    raw=$(shimmed "$rig" sg_inq --raw --len=96 "$1" | head -c 46 | tail -c 8)
    [ "$raw" = "$5" ] || fail "sg_inq --raw $1: bytes 38-45 are '$raw', expected '$5'"
}
check_identity /dev/sr0 "ZERV    " "DVDRW QLX-1640  " "1.02" "  051107"
check_identity /dev/sr1 "PIONEER " "DVD-RW  DVR-X99 " "1.10" "P1050812"
check_identity /dev/sr2 "ZERV    " "QLX-2209K       " "2.01" "  060301"

# Only the rig's drives exist.
if out=$(shimmed "$rig" sg_inq /dev/sr3 2>&1); then
    fail "sg_inq /dev/sr3 found a drive the rig does not have: $out"
fi

# TEST UNIT READY: the drive with a disc is ready, the empty ones say why.
shimmed "$rig" sg_turs /dev/sr2 >/dev/null 2>&1 || fail "sg_turs /dev/sr2 (disc in) exited $?"
out=$(shimmed "$rig" sg_turs -v /dev/sr0 2>&1)
status=$?
[ "$status" -eq 2 ] || fail "sg_turs /dev/sr0 (no disc) exited $status, expected 2 (not ready)"
grep -qi "medium not present" <<<"$out" || fail "sg_turs /dev/sr0: no 'medium not present' in: $out"

# A drive set to descriptor-format sense: sg_turs decodes the same condition
# from it, with its information descriptor.
printf '[d]\nvendor = ZERV\nproduct = QLX-0000\nsense_format = descriptor\n' >"$work/descriptor.ini"
out=$(shimmed "$work/descriptor.ini" sg_turs -vv /dev/sr0 2>&1)
for text in "Descriptor format" "Medium not present" "Descriptor type: Information"; do
    grep -qiF "$text" <<<"$out" || fail "sg_turs, descriptor sense: no '$text' in: $out"
done

# Faults travel through the shim as the kernel would report them: sense data
# for a failed command, a host time-out (at once, not after a minute) for a
# command that is never answered.
cat >"$work/faulty.ini" <<'EOF'
[faulty]
vendor = ZERV
product = QLX-0000
disc = yes
fail_opcode = 00 03:11:00
hang_opcode = 12
EOF
out=$(shimmed "$work/faulty.ini" sg_turs -v /dev/sr0 2>&1)
grep -qi "medium error" <<<"$out" || fail "sg_turs with a failing TEST UNIT READY: no 'Medium Error' in: $out"
grep -qi "unrecovered read error" <<<"$out" || fail "sg_turs: the ASC 11/00 text is missing in: $out"
start=$(date +%s)
out=$(shimmed "$work/faulty.ini" sg_inq /dev/sr0 2>&1)
grep -qF "DID_TIME_OUT" <<<"$out" || fail "sg_inq on a drive that never answers: no host time-out in: $out"
grep -q "Vendor identification" <<<"$out" && fail "sg_inq got an identity from a drive that never answers: $out"
[ $(( $(date +%s) - start )) -lt 10 ] || fail "the unanswered command made sg_inq wait"

# A read that ends GOOD with fewer bytes than asked: the residue tells, as
# the kernel's does (the drive's flash read, half of it with short_read).
printf '[short]\nvendor = ZERV\nproduct = QLX-0000\nshort_read = yes\n' >"$work/short.ini"
out=$(shimmed "$work/short.ini" sg_raw -r 256 -v /dev/sr0 5a 00 38 5a 45 11 00 00 00 00 00 00 2>&1)
grep -qi "received 128 bytes" <<<"$out" || fail "sg_raw, a short read: not 128 bytes received in: $out"
out=$(shimmed "$rig" sg_raw -r 256 /dev/sr0 5a 00 38 5a 45 11 00 00 00 00 00 00 2>&1)
grep -qi "received 256 bytes" <<<"$out" || fail "sg_raw, a whole read: not 256 bytes received in: $out"

# Plain libc calls: duplicates, fstat, scatter-gather, sense, refusals.
if command -v python3 >/dev/null; then
    out=$(shimmed "$rig" python3 "$here/../shim/sgio_probe.py" 2>&1) || fail "libc probe of the shim: $out"
    : >"$work/named0"
    out=$(JORVANE_SHIM_DEVICES="$work/named0::$work/named2:$work/named3" shimmed "$rig" \
        python3 "$here/../shim/sgio_probe.py" 2>&1) || fail "libc probe of the shim with named device files: $out"
else
    echo "note: no python3; the libc probe of the shim did not run"
fi

# The 32-bit shim in a 32-bit program built as Wine is (64-bit time: its
# ioctl and stat calls are glibc's *_time64 entry points). The library goes
# to the probe alone: a 64-bit program refuses it with a message.
probe32=$build/tests/sgio_probe32
if [ -f "$build/tests/sgio_shim32.so" ] && [ -x "$probe32" ]; then
    : >"$work/named32"
    out=$(JORVANE_RIG=$rig JORVANE_SHIM_DEVICES=$work/named32 timeout 30 \
        env LD_PRELOAD="$build/tests/sgio_shim32.so" "$probe32" "$work/named32" 2>&1) ||
        fail "32-bit probe of the 32-bit shim: $out"
else
    echo "note: no 32-bit shim in this build; the 32-bit probe did not run"
fi

# A bad rig presents no drive and says why on standard error.
printf '[bad]\nspeed = 4\n' >"$work/bad.ini"
out=$(shimmed "$work/bad.ini" sg_inq /dev/sr0 2>&1) && fail "sg_inq found a drive in a bad rig"
grep -qF "bad.ini:2: unknown key 'speed'" <<<"$out" || fail "bad rig: the error is missing in: $out"

# The updater through the shim lists what the simulator lists, and the model
# names it prints are what sg_inq reads from the same drives.
if ! [ -x "$build/jorvane" ] || ! [ -x "$build/jorvane-sim" ]; then
    fail "jorvane or jorvane-sim is missing from $build"
else
    for args in "/c" "/c /n1" "/c /n7"; do
        # shellcheck disable=SC2086
        sim=$(JORVANE_RIG=$rig timeout 30 "$build/jorvane-sim" $args </dev/null 2>&1)
        simStatus=$?
        # shellcheck disable=SC2086
        real=$(shimmed "$rig" "$build/jorvane" $args </dev/null 2>&1)
        realStatus=$?
        if [ "$sim" != "$real" ]; then
            fail "jorvane $args under the shim differs from jorvane-sim $args"
            diff <(printf '%s\n' "$sim") <(printf '%s\n' "$real") | sed 's/^/    /'
        fi
        [ "$simStatus" -eq "$realStatus" ] ||
            fail "jorvane $args ended with $realStatus under the shim, jorvane-sim with $simStatus"
    done
    real=$(shimmed "$rig" "$build/jorvane" /c </dev/null 2>&1)
    [ "$(grep -c '^Model Name' <<<"$real")" -eq 3 ] || fail "jorvane /c under the shim did not list three drives: $real"
    for n in 0 1 2; do
        out=$(shimmed "$rig" sg_inq /dev/sr$n)
        vendor=$(sed -n 's/^ Vendor identification: //p' <<<"$out")
        product=$(sed -n 's/^ Product identification: //p' <<<"$out")
        grep -qxF "Model Name    : $vendor$product" <<<"$real" ||
            fail "sg_inq's '$vendor$product' (/dev/sr$n) is not a model name jorvane printed"
    done
    # A node that answers INQUIRY as a disk is no drive, whatever its name:
    # the updater names it on standard error, lists it not, and sends it
    # nothing that would change it (its flash file stays as it was).
    if "$build/tools/jorvane-make-sample" "$work" >/dev/null; then
        { cat "$work/sample-rig.ini"; echo "device_type = 0"; } >"$work/disk.ini"
        before=$(cat "$work/sample-rig-flash.bin" 2>/dev/null | md5sum)
        out=$(cd "$work" && shimmed "$work/disk.ini" "$build/jorvane" /y /n0 sample.ytr </dev/null 2>&1)
        status=$?
        [ "$status" -eq 3 ] || fail "jorvane /y /n0 on a disk node ended with $status, expected 3 (259): $out"
        grep -q "Flash Completed" <<<"$out" && fail "jorvane flashed a disk node: $out"
        expect_line "$out" "/dev/sr0: peripheral device type 00h, qualifier 0: not a CD/DVD drive (type 05h); it is not listed" \
            "jorvane /y /n0 on a disk node"
        [ "$(cat "$work/sample-rig-flash.bin" 2>/dev/null | md5sum)" = "$before" ] ||
            fail "jorvane /y /n0 changed the disk node's flash"
        out=$(shimmed "$work/disk.ini" "$build/jorvane" /c </dev/null 2>&1)
        grep -q "^Model Name" <<<"$out" && fail "jorvane /c lists the disk node: $out"
    else
        fail "jorvane-make-sample failed"
    fi
    one=$(shimmed "$rig" "$build/jorvane" /c /n1 </dev/null 2>&1)
    grep -qxF "Hardware ID   : P1" <<<"$one" || fail "jorvane /c /n1: no hardware id P1 from INQUIRY in: $one"
    grep -q "^Date Code" <<<"$one" && fail "jorvane /c /n1 printed a date code for the PIONEER drive"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "sgio_shim: all checks passed"
