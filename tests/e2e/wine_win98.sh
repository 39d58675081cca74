#!/usr/bin/env bash
# jorvane.exe on a Windows 98 machine: Wine set to report the Windows 98
# family, the ASPI layer played by the test double WNASPI32.DLL (built with
# the Windows build, tests/aspi) in the prefix's system directory, the
# drives those of a rig. Each case runs the same rig and package through the
# Linux simulator (rig section [Rig] platform = win98, its registry kept in a
# file beside the rig) and through jorvane.exe under Wine, and compares what
# they print and how they end.
#
# What may differ between the two, and why:
#   - "Total flash time : N second(s)." The simulator's clock is virtual (a
#     flash costs no real time); under Wine the clock is the machine's. The
#     number is masked before the comparison.
#   - "WNASPI32.DLL not found": the simulator has no library to miss; on
#     Windows the line comes before the banner, and the rest must match the
#     simulator's run on a machine without drives.
#   - Standard error is not compared: Wine may write there.
#
# Also shown: the ASPI scan order (adapter 0 before adapter 1 whatever the
# rig's order), a layer without adapters, a layer that refuses every request
# the way Wine's own wnaspi32 does (which must not hold the start-up), Wine's
# own wnaspi32, no library at all, a command that fails with sense data, a
# flash start the drive holds unanswered and one it refuses, and
# one command the drive never answers: the program waits its 60 s (real
# time, the one long wait of this script), aborts the request and goes on.
#
# JV_BUILD: the native build (jorvane-sim, tools/jorvane-make-sample);
# JV_BUILD_WIN: the Windows build (jorvane.exe, tests/aspi/WNASPI32.DLL).
# Builds nothing.
set -uo pipefail
here_dir=$(dirname -- "${BASH_SOURCE[0]}")
. "$here_dir/lib/checks.sh"
. "$here_dir/lib/wine.sh"

wine_builds
sim=$build/jorvane-sim
make_sample=$build/tools/jorvane-make-sample
exe=$build_win/jorvane.exe
dll=$build_win/tests/aspi/WNASPI32.DLL
wine_require "$sim" "$make_sample" "$exe" "$dll"

wine_scratch wine-win98
export JV_WINE_TIMEOUT=120
system32=$JV_WINE_PREFIX/drive_c/windows/system32

pass() { echo "ok: $*"; }

# Runs happen in the folder $here (the package's folder), outputs go to $work.
here=$work

# sim_run NAME RIG KEYS ARGS...: jorvane-sim; output in NAME.sim, status in $sim_status.
sim_run() {
    local name=$1 rig=$2 keys=$3
    shift 3
    (cd "$here" && printf '%s' "$keys" | JORVANE_RIG=$rig timeout 120 "$sim" "$@") \
        >"$work/$name.sim" 2>"$work/$name.sim-err"
    sim_status=$?
}

# win_run NAME RIG KEYS ARGS...: jorvane.exe under Wine; output in NAME.win,
# status in $status, seconds taken in $took.
win_run() {
    local name=$1 rig=$2 keys=$3 started=$SECONDS
    shift 3
    (cd "$here" && printf '%s' "$keys" | JORVANE_RIG=$(windows_path "$rig") "$wine_run" "$exe" "$@") \
        >"$work/$name.win" 2>"$work/$name.win-err"
    status=$?
    took=$((SECONDS - started))
}

masked() { flash_time_masked <"$1"; }

# same NAME WHAT: the two runs of NAME printed the same (flash time masked)
# and ended the same way.
same() {
    [ "$sim_status" -eq "$status" ] || fail "$2: jorvane.exe ended with $status, jorvane-sim with $sim_status"
    if cmp -s <(masked "$1.sim") <(masked "$1.win"); then
        pass "$2: the same text as jorvane-sim ($(wc -l <"$1.win") lines)"
    else
        fail "$2: jorvane.exe under Wine printed other text than jorvane-sim"
        diff -u --label jorvane-sim --label jorvane.exe <(masked "$1.sim") <(masked "$1.win") | head -40
        [ -s "$1.win-err" ] && { echo "--- Wine's standard error:"; head -20 "$1.win-err"; }
    fi
}

# Unlike the shared one, says every pass; the outputs are in files.
expect_status() {  # expected, what
    if [ "$status" -eq "$1" ]; then pass "$2: exit status $status"; else fail "$2: exit status $status, expected $1"; fi
}

has_line() {  # file, line, what
    if grep -qxF -- "$2" "$1"; then pass "$3: '$2'"; else fail "$3: no line '$2' in $1:"; sed 's/^/    /' "$1"; fi
}

# --- the machine: a prefix whose Wine says Windows 98 ---
wine_boot "$exe" /v || exit 1
wine_windows_version win98 || { echo "wine_win98: cannot set the Windows version" >&2; exit 1; }

# The machine without drives, as the simulator plays it.
printf '[Rig]\nplatform = win98\n' >"$work/empty.ini"
sim_run none "$work/empty.ini" "" /c
none_status=$sim_status

# --- Wine's own wnaspi32 (wineboot left its file in the system directory):
# it answers no adapters and refuses every request; the program must end, at
# once, with no drive. ---
[ -f "$system32/wnaspi32.dll" ] || fail "wineboot left no wnaspi32.dll in $system32"
win_run builtin "$work/empty.ini" "" /c
expect_status 3 "Wine's own wnaspi32"
[ "$took" -lt 60 ] && pass "Wine's own wnaspi32: ended after ${took}s" || fail "Wine's own wnaspi32: took ${took}s"
grep -q "not found" builtin.win && fail "Wine's own wnaspi32 was not loaded: $(cat builtin.win)"
cp none.sim builtin.sim
sim_status=$none_status
same builtin "Wine's own wnaspi32"

# --- no library: the file gone and only a native one allowed ---
rm -f -- "$system32/wnaspi32.dll"
export JV_WINE_DLLOVERRIDES=wnaspi32=n
win_run missing "$work/empty.ini" "" /c
expect_status 3 "no WNASPI32.DLL"
{ echo "WNASPI32.DLL not found"; cat none.sim; } >missing.sim
sim_status=$none_status
same missing "no WNASPI32.DLL (Windows 98 mode: the ASPI route was chosen)"
has_line missing.win "No flashed drive exists." "no WNASPI32.DLL"

# --- the test double from here on ---
wine_install_aspi "$dll" || { echo "wine_win98: cannot install $dll" >&2; exit 1; }

# Scan order: the rig names the adapter-1 drive first.
cat >"$work/order.ini" <<'EOF'
[on-adapter-1]
vendor = ZERV
product = QLX-ADAPTER1
revision = 1.11
date_code = 061111
aspi = 1:0:0
[on-adapter-0]
vendor = PIONEER
product = DVD-RW  DVR-X00
revision = 1.00
date_code = 060101
hardware_id_page = other
inquiry_hardware_id = P0
aspi = 0:4:1
[Rig]
platform = win98
EOF
for args in "/c" "/c /n1"; do
    name=order${args//[^a-z0-9]/}
    # shellcheck disable=SC2086
    sim_run "$name" "$work/order.ini" "" $args
    # shellcheck disable=SC2086
    win_run "$name" "$work/order.ini" "" $args
    expect_status 3 "jorvane.exe $args"
    same "$name" "jorvane.exe $args on two adapters"
done
models=$(sed -n 's/^Model Name    : //p' orderc.win | tr '\n' '|')
[ "$models" = "PIONEER DVD-RW  DVR-X00 |ZERV    QLX-ADAPTER1    |" ] &&
    pass "scan order: adapter 0 before adapter 1" || fail "scan order: the listing names '$models'"

# Faults of the layer: no adapters; every request refused (the way Wine's own
# layer does it) even though adapters are reported: no drive, and no wait
# for requests that can never complete.
for mode in no-adapters stub; do
    JORVANE_ASPI=$mode win_run "$mode" "$work/order.ini" "" /c
    expect_status 3 "layer $mode"
    [ "$took" -lt 60 ] && pass "layer $mode: ended after ${took}s" || fail "layer $mode: took ${took}s"
    cp none.sim "$mode.sim"
    sim_status=$none_status
    same "$mode" "layer $mode"
done

# --- a package and a drive that keeps its flash in a file; one folder each
# for the simulator and Windows, starting alike ---
mkdir -p "$work/sample" && "$make_sample" "$work/sample" >/dev/null || { echo "wine_win98: jorvane-make-sample failed" >&2; exit 1; }
machine() {  # folder, extra drive keys
    mkdir -p "$1"
    cp "$work/sample/sample.ytr" "$1/"
    rm -f "$1/sample-rig-flash.bin" "$1/machine.reg"
    { cat "$work/sample/sample-rig.ini"
      printf 'reboot_ms = 300\nblock_program_ms = 20\n%s' "$2"
      printf '[Rig]\nplatform = win98\nregistry = machine.reg\n'; } >"$1/rig.ini"
}

# A write the drive refuses: SS_ERR, target status 2, sense at 0x40; the
# flash stops with the same text on both.
machine "$work/err-sim" "fail_opcode = 3B 04:08:00
"
machine "$work/err-win" "fail_opcode = 3B 04:08:00
"
here=$work/err-sim sim_run refused "$work/err-sim/rig.ini" y sample.ytr
here=$work/err-win win_run refused "$work/err-win/rig.ini" y sample.ytr
expect_status 3 "a refused write"
same refused "a refused write"
grep -q "Flash Completed Successfully" refused.win && fail "a refused write was reported as a success"

# A start the drive holds unanswered while it programs: the layer completes
# the request with SS_ERR and the adapter's time-out (HASTAT_COMMAND_TIMEOUT),
# and the flash goes on to the new firmware. A start it refuses: SS_ERR,
# target status 2 and its sense, and the flash stops with the old firmware.
for mode in held refused; do
    machine "$work/start-$mode-sim" "flash_start = $mode
"
    machine "$work/start-$mode-win" "flash_start = $mode
"
    here=$work/start-$mode-sim sim_run "start-$mode" "$work/start-$mode-sim/rig.ini" y sample.ytr
    here=$work/start-$mode-win win_run "start-$mode" "$work/start-$mode-win/rig.ini" y sample.ytr
    same "start-$mode" "a start the drive $mode"
    version=$(drive_version "$work/start-$mode-win/rig.ini")
    if [ "$mode" = held ]; then
        expect_status 194 "a start the drive held (3010)"
        has_line start-held.win "========== Flash Completed Successfully==========" "a start the drive held"
        [ "$version" = "2.00" ] && pass "a start the drive held: the drive reports 2.00" ||
            fail "a start the drive held: the drive reports '$version'"
    else
        expect_status 3 "a start the drive refused"
        has_line start-refused.win "Write Buffer Fail !" "a start the drive refused"
        [ "$version" = "1.00" ] && pass "a start the drive refused: the drive still reports 1.00" ||
            fail "a start the drive refused: the drive reports '$version'"
    fi
done

# --- the auto-insert notification: on for this drive in both registries ---
key='HKLM\Enum\SCSI\ZERV____VIRTUAL_DVD-RW__1\0001'
machine "$work/aut-sim" ""
machine "$work/aut-win" ""
printf 'REGEDIT4\r\n\r\n[%s]\r\n"RevisionLevel"="1.00"\r\n"AutoInsertNotification"=hex:01\r\n' \
    "${key/HKLM/HKEY_LOCAL_MACHINE}" >"$work/aut-sim/machine.reg"
wine_tool reg add "$key" /v RevisionLevel /d 1.00 /f >/dev/null 2>&1 &&
    wine_tool reg add "$key" /v AutoInsertNotification /t REG_BINARY /d 01 /f >/dev/null 2>&1 ||
    fail "cannot make the drive's registry keys"

# First run: the notification is switched off and the run ends, unflashed.
here=$work/aut-sim sim_run off "$work/aut-sim/rig.ini" y sample.ytr
here=$work/aut-win win_run off "$work/aut-win/rig.ini" y sample.ytr
expect_status 3 "notification on"
same off "notification on"
for line in "Owing to the restriction of Windows 98/ME," "the auto-insert notification must be shutdowned." \
    "It has been done, but you have to restart os and execute this tool again!"; do
    has_line off.win "$line" "notification on"
done
[ "$(wine_reg_value "$key" AutoInsertNotification)" = 00 ] && pass "notification on: the value is 0 afterwards" ||
    fail "notification on: the value is $(wine_reg_value "$key" AutoInsertNotification), not 00"
[ -f "$work/aut-win/sample-rig-flash.bin" ] && fail "notification on: the drive was flashed all the same"

# Second run: flashed, and "y" switches the notification back on.
here=$work/aut-sim sim_run on "$work/aut-sim/rig.ini" yy sample.ytr
here=$work/aut-win win_run on "$work/aut-win/rig.ini" yy sample.ytr
expect_status 194 "the run after the restart (3010)"
same on "the run after the restart"
has_line on.win "Would you like to activate the auto-insert notification ? (Y/N)" "the run after the restart"
[ "$(wine_reg_value "$key" AutoInsertNotification)" = 01 ] && pass "after the flash: the value is 1 again" ||
    fail "after the flash: the value is $(wine_reg_value "$key" AutoInsertNotification), not 01"
if cmp -s "$work/aut-sim/sample-rig-flash.bin" "$work/aut-win/sample-rig-flash.bin"; then
    pass "the drive holds what the simulator's drive holds"
else
    fail "the flash file written under Wine differs from the simulator's"
fi
version=$(drive_version "$work/aut-win/rig.ini")
[ "$version" = "2.00" ] && pass "the drive reports the new version 2.00" || fail "the drive reports '$version'"

# --- a command never answered: the program waits 60 s, aborts it, goes on.
# The drive's first command (the INQUIRY of the scan) hangs; the listing
# reads the identity again and gets it. ---
cat >"$work/hang.ini" <<'EOF'
[silent-once]
vendor = ZERV
product = QLX-HANG
revision = 1.05
date_code = 061205
hang_command = 1
[Rig]
platform = win98
EOF
: >"$work/aspi.log"
sim_run hang "$work/hang.ini" "" /c
JV_WINE_TIMEOUT=180 JORVANE_ASPI_LOG=$(windows_path "$work/aspi.log") win_run hang "$work/hang.ini" "" /c
expect_status 3 "a command never answered"
same hang "a command never answered"
{ [ "$took" -ge 60 ] && [ "$took" -lt 150 ]; } && pass "a command never answered: ended after ${took}s" ||
    fail "a command never answered: took ${took}s, expected the 60 s wait and little more"
grep -qxF "abort unanswered 0:0:0 opcode 12" "$work/aspi.log" && pass "the unanswered INQUIRY was aborted" ||
    fail "no abort of the unanswered INQUIRY in the layer's log: $(cat "$work/aspi.log")"
has_line hang.win "Model Name    : ZERV    QLX-HANG        " "a command never answered"

echo "wine_win98: $failures failed"
[ "$failures" -eq 0 ]
