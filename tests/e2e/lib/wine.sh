# Pieces shared by end-to-end scripts that run the Windows programs under
# Wine with the test doubles of the drive layers; sourced, not run. The
# caller sets $wine_run (tests/wine-run) and exports JV_WINE_PREFIX, a prefix
# of its own that it takes down with "$wine_run" --clean.

# wine_tool CMD...: a Wine tool in the prefix, started as wine-run starts a
# program (no display, no installers, a time limit).
wine_tool() {
    WINEPREFIX=$JV_WINE_PREFIX WINEARCH=win32 WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d" \
        DISPLAY= WAYLAND_DISPLAY= timeout 60 wine "$@" </dev/null
}

# windows_path PATH: the Windows name of a file here (Wine maps / to Z:).
windows_path() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# wine_boot PROGRAM.exe: makes the prefix by running the program's /h once.
wine_boot() {
    local log
    log=$(mktemp) || return 1
    "$wine_run" "$1" /h </dev/null >/dev/null 2>"$log"
    if [ ! -f "$JV_WINE_PREFIX/system.reg" ]; then
        echo "the Wine prefix could not be made:" >&2
        cat "$log" >&2
        rm -f -- "$log"
        return 1
    fi
    rm -f -- "$log"
}

# wine_windows_version VERSION: the Windows the next programs see (win98
# takes the ASPI route, winxp the NT pass-through).
wine_windows_version() {
    wine_tool reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1 &&
        WINEPREFIX=$JV_WINE_PREFIX timeout 60 wineserver -w
}

# wine_install_aspi DLL: the ASPI test double in the system directory in
# place of Wine's own wnaspi32, and only a native one allowed.
wine_install_aspi() {
    cp -- "$1" "$JV_WINE_PREFIX/drive_c/windows/system32/wnaspi32.dll" || return 1
    export JV_WINE_DLLOVERRIDES=wnaspi32=n
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
    "$wine_run" "$JV_WINE_PREFIX/drive_c/windows/system32/reg.exe" import \
        "$(windows_path "$folder/cdrom-letters.reg")" </dev/null >/dev/null 2>&1 || return 1
    # Wine's mount manager reads the drive letters when a session starts.
    WINEPREFIX=$JV_WINE_PREFIX timeout 60 wineserver -w
}
