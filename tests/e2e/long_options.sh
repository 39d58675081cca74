#!/usr/bin/env bash
# The long options of every program on Linux: --help and --version on
# standard output with exit status 0 and the package version of the top
# CMakeLists.txt, any other "--" argument refused with exit status 2; and the
# drive listing as JSON (/c --json), read back with python3's json module,
# for drives whose identity holds bytes that are not text.
#
# JV_BUILD: the build folder (jorvane, jorvane-sim, jorvane-backup(-sim), jorvane-verify(-sim),
# tools/, and tests/sgio_shim.so when it was built).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

root=$(cd "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)
native_build
require_built "$build/jorvane" "$build/jorvane-backup" "$build/jorvane-backup-sim" "$build/jorvane-verify" \
    "$build/jorvane-verify-sim" "$build/tools/jorvane-merge"
version=$(sed -n 's/^project(jorvane VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || { echo "FAIL: no version in the top CMakeLists.txt"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# run <program and arguments...>: standard output in $out, standard error in
# $err, status in $status. No rig: nothing here may need a drive.
run() {
    out=$(timeout 30 "$@" 2>"$work/err" </dev/null)
    status=$?
    err=$(cat "$work/err")
}

for program in jorvane jorvane-sim jorvane-backup jorvane-backup-sim jorvane-verify jorvane-verify-sim \
    tools/jorvane-merge tools/jorvane-make-sample; do
    name=${program#tools/}
    run "$build/$program" --help
    expect_status 0 "$name --help"
    expect_text "man $name" "$name --help"
    [ -z "$err" ] || fail "$name --help wrote to standard error: $err"
    run "$build/$program" --version
    expect_status 0 "$name --version"
    [ "$(head -n 1 <<<"$out")" = "$name (jorvane) $version" ] || fail "$name --version: first line is not '$name (jorvane) $version':
$out"
    run "$build/$program" --frobnicate
    expect_status 2 "$name --frobnicate"
    [ -z "$out" ] || fail "$name --frobnicate wrote to standard output: $out"
    grep -qF "unknown option --frobnicate; see --help" <<<"$err" || fail "$name --frobnicate: no refusal in '$err'"
done

# The updater: the help of this command line, by the program's own name, with
# every option it takes; /v's list after the version; an option's value never
# decides (the long option answers).
for program in jorvane jorvane-sim; do
    run "$build/$program" /s --help
    expect_text "Usage: $program [OPTION]... PACKAGE" "$program --help"
    expect_no_text "jorvane.exe" "$program --help"
    expect_text "194 (3010)  the drive was flashed" "$program --help"
    for letter in a b c d e f g h i k m n o p q r s t u v y; do
        grep -q "^  /$letter" <<<"$out" || fail "$program --help does not list /$letter"
    done
done
run "$build/jorvane-sim" --version /c
expect_status 0 "updater --version /c"
expect_text "Serial Flash : SST SST25VF040" "updater --version /c"
# A long option among the backup program's files and the merge tool's actions.
run "$build/jorvane-backup-sim" like.ytr --out.ytr
expect_status 2 "backup, a long option for a file"
run "$build/tools/jorvane-merge" "$build/jorvane-sim" x --package 1 a.ytr --bogus
expect_status 2 "merge, a long option among the actions"
[ ! -e x ] || fail "merge, a long option among the actions: the program was written"

# --- the JSON listing: a drive of the sample, a drive whose identity holds
# bytes that are not UTF-8 (and a control byte and a quote), a PIONEER drive
# (no date code) and the model without a bank number ---
"$make_sample" "$work" || fail "jorvane-make-sample failed"
{
    cat sample-rig.ini
    printf '[odd]\nvendor = "Z\xffRV"\nproduct = "DVD\x01 \xc3\xa9\xc3(X"\nrevision = 1.0\x80\n'
    printf 'date_code = 0506"\\\nhardware_id = \xfe\x00\nbank_number = 40, 0, 7\n'
    printf '[pioneer]\nvendor = PIONEER\nproduct = "DVD-RW  DVR-X99"\nrevision = 1.10\n'
    printf '[nobank]\nvendor = ZERV\nproduct = QLX-2209K\nrevision = 2.01\n'
} >rig.ini
JORVANE_RIG=rig.ini "$sim" /c --json >listing.json 2>"$work/err"
status=$? out=$(cat listing.json) err=$(cat "$work/err")
expect_status 0 "JSON listing"
grep -qF "Zerv Flash YTR3 Utility" <<<"$err" || fail "JSON listing: the banner is not on standard error"
python3 - listing.json <<'PY' || fail "JSON listing does not hold what the drives report:
$out"
import json, sys
text = open(sys.argv[1], "rb").read()
text.decode("ascii")  # the document is ASCII whatever the drives say
drives = json.loads(text)["drives"]
expected = [
    {"drive": 0, "device": "/dev/sr0", "vendor": "ZERV", "product": "VIRTUAL DVD-RW", "revision": "1.00",
     "date_code": "250101", "hardware_id": "V1"},
    {"drive": 1, "device": "/dev/sr1", "vendor": "Z\ufffdRV", "product": "DVD\x01 \u00e9\ufffd(X",
     "revision": "1.0\ufffd", "date_code": '0506"\\', "hardware_id": "\ufffd", "bank_number": 7},
    {"drive": 2, "device": "/dev/sr2", "vendor": "PIONEER", "product": "DVD-RW  DVR-X99", "revision": "1.10",
     "date_code": None},
    {"drive": 3, "device": "/dev/sr3", "vendor": "ZERV", "product": "QLX-2209K", "revision": "2.01",
     "bank_number": None},
]
assert len(drives) == len(expected), drives
for got, want in zip(drives, expected):
    for key, value in want.items():
        assert got[key] == value, (key, got[key], value)
    assert sorted(got) == sorted(["drive", "device", "vendor", "product", "revision", "date_code",
                                  "hardware_id", "bank_number"]), got
PY
# One drive, no drive at all, and --json where it does not belong.
out=$(JORVANE_RIG=rig.ini "$sim" /c /n2 --json 2>/dev/null)
status=$?
expect_status 0 "JSON listing of drive 2"
python3 -c 'import json,sys; d=json.loads(sys.argv[1])["drives"]; assert [x["vendor"] for x in d] == ["PIONEER"], d' \
    "$out" || fail "JSON listing of drive 2: $out"
: >empty.ini
out=$(JORVANE_RIG=empty.ini "$sim" /c --json 2>"$work/err")
status=$? err=$(cat "$work/err")
expect_status 0 "JSON listing without drives"
python3 -c 'import json,sys; assert json.loads(sys.argv[1]) == {"drives": [], "inaccessible": []}' "$out" ||
    fail "JSON listing without drives: $out"
grep -qF "No flashed drive exists." <<<"$err" || fail "JSON listing without drives: no message on standard error"
# A node whose drive cannot be read is named, and a listing of nothing but
# such nodes is no success.
printf '[silent]\nvendor = ZERV\nhang_opcode = 12\n' >silent.ini
out=$(JORVANE_RIG=silent.ini "$sim" /c --json 2>"$work/err")
status=$? err=$(cat "$work/err")
expect_status 1 "JSON listing of a node that does not answer"
python3 -c 'import json,sys; assert json.loads(sys.argv[1]) == {"drives": [], "inaccessible": [
    {"device": "/dev/sr0", "reason": "no answer to INQUIRY"}]}' "$out" ||
    fail "JSON listing of a node that does not answer: $out"
grep -qF "/dev/sr0: no answer to INQUIRY" <<<"$err" || fail "the silent node is not named on standard error: $err"
run "$sim" sample.ytr --json
expect_status 2 "--json without /c"

# The Linux program itself, through the SG_IO shim, lists the same.
shim=$build/tests/sgio_shim.so
if [ -f "$shim" ]; then
    shimmed=$(JORVANE_RIG=rig.ini LD_PRELOAD=$shim timeout 30 "$build/jorvane" /c --json 2>/dev/null)
    [ "$shimmed" = "$(cat listing.json)" ] || fail "jorvane through the shim lists otherwise:
$shimmed"
fi

[ "$failures" -eq 0 ] || { echo "long_options: $failures failure(s)"; exit 1; }
echo "long_options: all checks passed"
