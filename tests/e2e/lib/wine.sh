# Pieces shared by end-to-end scripts that run the Windows programs under
# Wine with the test doubles of the drive layers; sourced, not run. Sourcing
# sets $root (the repository), $wine_run (tests/wine-run) and $wine_script
# (the script's name, which the messages here name). wine_scratch makes the
# prefix's folder and the scratch folder $work that the later pieces use.

root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../../.." && pwd)
wine_run=$root/tests/wine-run
wine_script=$(basename -- "$0" .sh)

# wine_builds: $build and $build_win, the native and the Windows build
# folders (JV_BUILD, JV_BUILD_WIN; build and build-win in the repository by
# default), made absolute since the runs happen in the scratch folder. Ends
# the script when one is missing.
wine_builds() {
    build=$(cd -- "${JV_BUILD:-$root/build}" 2>/dev/null && pwd) ||
        { echo "$wine_script: FAIL: no native build folder ${JV_BUILD:-$root/build}"; exit 1; }
    build_win=$(cd -- "${JV_BUILD_WIN:-$root/build-win}" 2>/dev/null && pwd) ||
        { echo "$wine_script: FAIL: no Windows build folder ${JV_BUILD_WIN:-$root/build-win}"; exit 1; }
}

# wine_require FILE...: ends the script when a build product named is
# missing or Wine is not installed.
wine_require() {
    local file tool
    for file in "$@"; do
        [ -f "$file" ] || { echo "$wine_script: FAIL: $file is not built"; exit 1; }
    done
    for tool in wine wineserver; do
        command -v "$tool" >/dev/null 2>&1 ||
            { echo "$wine_script: FAIL: $tool is not installed (scripts/deps.sh)"; exit 1; }
    done
}

# wine_scratch NAME: makes the scratch folder $work (jv-NAME.XXXXXX) and goes
# into it; the Wine prefix of every run (JV_WINE_PREFIX) lies in it. The
# prefix, its wineserver and the folder go when the script ends, also when it
# is interrupted; JV_KEEP_WORK=1 keeps the folder (texts, traces, rigs) for a
# look after a failure. The test doubles' settings of the caller's
# environment are dropped: each run sets the ones it means.
wine_scratch() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/jv-$1.XXXXXX") || exit 1
    export JV_WINE_PREFIX=$work/wine
    unset JORVANE_ASPI JORVANE_ASPI_LOG JV_WINE_DLLOVERRIDES
    # Without a prefix there is nothing to take down, and wine-run would only
    # complain when Wine is missing.
    trap '[ -d "$JV_WINE_PREFIX" ] && "$wine_run" --clean "$JV_WINE_PREFIX"; [ -n "${JV_KEEP_WORK:-}" ] || rm -rf -- "$work"' EXIT
    trap 'exit 130' INT TERM
    cd "$work" || exit 1
}

# wine_tool CMD...: a Wine tool in the prefix, started as wine-run starts a
# program (no display, no installers, a time limit).
wine_tool() {
    WINEPREFIX=$JV_WINE_PREFIX WINEARCH=win32 WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d" \
        DISPLAY= WAYLAND_DISPLAY= timeout 60 wine "$@" </dev/null
}

# wine_server_wait: waits for the prefix's wineserver to end; it writes the
# registry out as it goes.
wine_server_wait() { WINEPREFIX=$JV_WINE_PREFIX timeout 60 wineserver -w; }

# windows_path PATH: the Windows name of a file here (Wine maps / to Z:).
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# wine_boot PROGRAM.exe ARG...: makes the prefix by running the program once
# with the arguments given; its exit status in $wine_boot_status, its
# standard error in $work/boot.err. Fails when no prefix came of it.
wine_boot() {
    "$wine_run" "$@" </dev/null >/dev/null 2>"$work/boot.err"
    wine_boot_status=$?
    [ -f "$JV_WINE_PREFIX/system.reg" ] && return 0
    echo "$wine_script: the Wine prefix could not be made:" >&2
    cat "$work/boot.err" >&2
    return 1
}

# wine_windows_version VERSION: the Windows the next programs see (win98
# takes the ASPI route, winxp the NT pass-through).
wine_windows_version() {
    wine_tool reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 && wine_server_wait
}

# wine_install_aspi DLL: the ASPI test double in the system directory in
# place of Wine's own wnaspi32, and only a native one allowed.
wine_install_aspi() {
    cp -- "$1" "$JV_WINE_PREFIX/drive_c/windows/system32/wnaspi32.dll" || return 1
    export JV_WINE_DLLOVERRIDES=wnaspi32=n
}

# wine_reg_import FILE: a REGEDIT4 file into the prefix's registry; says
# what reg answered when it fails.
wine_reg_import() {
    local said
    said=$("$wine_run" "$JV_WINE_PREFIX/drive_c/windows/system32/reg.exe" import "$(windows_path "$1")" \
           </dev/null 2>&1) || { echo "$wine_script: reg import $1 failed: $said" >&2; return 1; }
}

# wine_reg_value KEY NAME: the data of a registry value as reg prints it
# (REG_BINARY as hex digits), or "none".
wine_reg_value() {
    local said
    said=$(wine_tool reg query "$1" /v "$2" 2>/dev/null) || { echo none; return; }
    awk -v name="$2" '$1 == name { print $3; found = 1 } END { if (!found) print "none" }' <<<"$said" | tr -d '\r'
}

# wine_cdrom_letters FOLDER LETTER...: makes each drive letter a CD-ROM
# whose device file lies in FOLDER, for the 32-bit SG_IO shim to serve as
# the rig's drives in the order given; sets $shim_devices, the value of
# JORVANE_SHIM_DEVICES.
wine_cdrom_letters() {
    local folder=$1 letter i=0 devices=()
    shift
    {
        printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n'
        for letter in "$@"; do printf '"%s:"="cdrom"\r\n' "$letter"; done
    } >"$folder/cdrom-letters.reg"
    for letter in "$@"; do
        mkdir -p "$folder/disc$i"
        : >"$folder/cdrom$i"
        ln -sfn "$folder/disc$i" "$JV_WINE_PREFIX/dosdevices/$letter:"
        ln -sfn "$folder/cdrom$i" "$JV_WINE_PREFIX/dosdevices/$letter::"
        devices+=("$folder/cdrom$i")
        i=$((i + 1))
    done
    shim_devices=$(IFS=:; echo "${devices[*]}")
    wine_reg_import "$folder/cdrom-letters.reg" || return 1
    # Wine's mount manager reads the drive letters when a session starts.
    wine_server_wait
}

# drive_version RIG: the version drive 0 of the rig reports now, as
# jorvane-sim ($sim) reads it.
drive_version() {
    JORVANE_RIG=$1 timeout 30 "$sim" /c /n0 </dev/null | sed -n 's/^Drive Version : //p'
}

# flash_time_masked: standard input with the number of the flash time line
# masked; the simulator's clock is virtual, the real programs take real
# seconds.
flash_time_masked() { sed -E 's/^(Total flash time : )[0-9]+( second\(s\)\.)$/\1N\2/'; }
