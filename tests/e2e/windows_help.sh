#!/usr/bin/env bash
# The Windows program and the Linux program must say the same thing: runs
# both on the command lines that need no drive, and compares their standard
# output byte for byte and their exit codes (the low byte: 259 is 3 on both).
# JV_BUILD and JV_BUILD_WIN name the native and the Windows build folders.
set -uo pipefail

root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)
native=${JV_BUILD:-$root/build}/jorvane
windows=${JV_BUILD_WIN:-$root/build-win}/jorvane.exe
wine_run=$root/tests/wine-run
for program in "$native" "$windows"; do
    if [ ! -x "$program" ] && [ ! -f "$program" ]; then
        echo "windows_help: $program is not built" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/jv-windows-help.XXXXXX") || exit 1
# One Wine prefix for all the runs: making one costs seconds.
export JV_WINE_PREFIX=$work/wine
trap '"$wine_run" --clean "$JV_WINE_PREFIX"; rm -rf -- "$work"' EXIT
mkdir -p "$work/run"
cd "$work/run" || exit 1

cases=(
    "/h"
    "/v"
    ""
    "/n12 x.ytr"
    "a b"
)

failures=0
for i in "${!cases[@]}"; do
    read -r -a args <<<"${cases[$i]}"
    label="jorvane ${cases[$i]}"
    "$native" "${args[@]}" </dev/null >"$work/native.$i" 2>/dev/null
    native_status=$?
    "$wine_run" "$windows" "${args[@]}" </dev/null >"$work/windows.$i" 2>"$work/windows-err.$i"
    windows_status=$?
    problems=()
    if [ "$native_status" -ne "$windows_status" ]; then
        problems+=("exit code $native_status on Linux, $windows_status on Windows")
    fi
    if ! cmp -s "$work/native.$i" "$work/windows.$i"; then
        problems+=("standard output differs")
    fi
    if [ ! -s "$work/native.$i" ]; then
        problems+=("printed nothing")
    fi
    if [ ${#problems[@]} -eq 0 ]; then
        echo "same: $label (exit code $native_status, $(wc -c <"$work/native.$i") bytes)"
        continue
    fi
    failures=$((failures + 1))
    echo "DIFFERENT: $label: $(IFS=';'; echo "${problems[*]}")"
    diff -u --label linux --label windows <(od -An -c "$work/native.$i") <(od -An -c "$work/windows.$i") | head -40
    if [ -s "$work/windows-err.$i" ]; then
        echo "--- Windows standard error:"
        head -20 "$work/windows-err.$i"
    fi
done

echo "windows_help: ${#cases[@]} command lines, $failures different"
[ "$failures" -eq 0 ]
