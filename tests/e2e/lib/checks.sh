# Checks shared by the end-to-end scripts that run jorvane-sim; sourced, not
# run (scripts/test.sh runs only tests/e2e/*.sh). Each check counts a failure
# in $failures and goes on, so one run reports every difference. The checks
# read the last run's $out, $status and, when the script keeps it apart,
# $err.

failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Ends the script at once when a program it needs was not built.
require_built() {  # program...
    local tool
    for tool in "$@"; do
        [ -x "$tool" ] || { echo "FAIL: $tool is not built"; exit 1; }
    done
}

# Sets $build, $sim and $make_sample from JV_BUILD, and ends the script when
# either program was not built. $build is made absolute: the runs happen in a
# scratch folder, where a relative one would no longer be found.
native_build() {
    build=${JV_BUILD:?set JV_BUILD to the build folder}
    build=$(cd "$build" && pwd) || exit 1
    sim=$build/jorvane-sim
    make_sample=$build/tools/jorvane-make-sample
    require_built "$sim" "$make_sample"
}

expect_status() {  # expected, what
    [ "$status" -eq "$1" ] || fail "$2: exit status $status, expected $1; output:
$out${err:+
$err}"
}

expect_text() {  # text, what
    grep -qF -- "$1" <<<"$out" || fail "$2: no '$1' in:
$out"
}

expect_no_text() {  # text, what
    if grep -qF -- "$1" <<<"$out"; then fail "$2: unexpected '$1' in:
$out"; fi
}

# run_rig RIG KEYS PROGRAM ARGS...: runs PROGRAM on the virtual drives of RIG
# with KEYS on standard input (at most 120 s); output in $out, status in $status.
run_rig() {
    local rig=$1 keys=$2
    shift 2
    out=$(printf '%s' "$keys" | JORVANE_RIG=$rig timeout 120 "$@" 2>&1)
    status=$?
}

# Sets the IDE and ATAPI flash type bytes of a package's header (the header
# check sum covers only the image).
flash_types() {  # package, ide type, atapi type
    printf "\\x$(printf %02x "$2")\\x$(printf %02x "$3")" | dd of="$1" bs=1 seek=26 conv=notrunc status=none
}

# ide_samples: in the current folder, packages serial-a/-b.ytr (only an IDE
# flash type, MTK2) and parallel-a/-b.ytr (IDE MTK and ATAPI type 1, so /i
# chooses the route), versions 2.00 and 3.00, and the rigs serial-rig.ini
# (serial chip type 31 behind MTK2) and parallel-rig.ini (parallel chip type 7,
# 512 KiB, behind MTK) holding the -a firmware. Needs $make_sample and $work.
ide_samples() {
    "$make_sample" --package serial-a.ytr --rig serial-rig.ini --atapi-type 1 "$work" &&
        "$make_sample" --package serial-b.ytr --rig - --atapi-type 1 --package-version 3.00 "$work" &&
        "$make_sample" --package parallel-a.ytr --rig parallel-rig.ini --atapi-type 1 --banks 8 "$work" &&
        "$make_sample" --package parallel-b.ytr --rig - --atapi-type 1 --banks 8 --package-version 3.00 "$work" ||
        fail "IDE packages: jorvane-make-sample"
    flash_types serial-a.ytr 4 0
    flash_types serial-b.ytr 4 0
    flash_types parallel-a.ytr 1 1
    flash_types parallel-b.ytr 1 1
    printf 'ide_controller = mtk2\nflash_chip = 31\n' >>serial-rig.ini
    printf 'ide_controller = mtk\nflash_chip = 7\nflash_size = 0x80000\n' >>parallel-rig.ini
}
