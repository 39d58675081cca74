#!/usr/bin/env bash
# What the Windows test runs rely on from tests/wine-run: the program's exit
# status (low byte) comes back, arguments and standard input reach the
# program unchanged, a crash or a hang ends within a bound, and no prefix,
# wineserver socket folder or prefix of a failed run is left behind.
# Builds its own small Windows probe program with the MinGW compiler.
set -uo pipefail

root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)
wine_run=$root/tests/wine-run
cxx=i686-w64-mingw32-g++-win32
command -v "$cxx" >/dev/null 2>&1 || { echo "wine_run: $cxx is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/jv-wine-run.XXXXXX") || exit 1
session=$work/session-prefix
trap '"$wine_run" --clean "$session"; rm -rf -- "$work"' EXIT

# A fake build folder: wine-run puts its private prefix beside CMakeCache.txt.
mkdir -p "$work/build/bin"
: >"$work/build/CMakeCache.txt"
probe=$work/build/bin/probe.exe
cat >"$work/probe.cpp" <<'EOF'
#include <cstdio>
#include <cstdlib>
#include <cstring>
// probe exit N | args | stdin | prefix | crash | hang
int main(int argc, char** argv) {
    if (argc < 2) return 99;
    const char* what = argv[1];
    if (!std::strcmp(what, "exit") && argc == 3) return std::atoi(argv[2]);
    if (!std::strcmp(what, "args")) {
        for (int i = 2; i < argc; ++i) std::printf("<%s>", argv[i]);
        return argc - 2;
    }
    if (!std::strcmp(what, "stdin")) {
        long n = 0;
        for (int c; (c = std::getchar()) != EOF; ++n) std::putchar(c == '\n' ? '|' : c);
        std::printf("#%ld", n);
        return 0;
    }
    if (!std::strcmp(what, "prefix")) {
        const char* p = std::getenv("WINEPREFIX");
        std::printf("%s", p ? p : "");
        return 0;
    }
    if (!std::strcmp(what, "crash")) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    if (!std::strcmp(what, "hang")) for (volatile int spin = 0;; spin = spin + 1) {}
    return 98;
}
EOF
"$cxx" -static -O1 -o "$probe" "$work/probe.cpp" || { echo "wine_run: cannot build the probe" >&2; exit 1; }

failures=0
check() {  # check NAME EXPECTED ACTUAL
    if [ "$2" == "$3" ]; then
        echo "ok: $1"
    else
        echo "FAILED: $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}

server_folders() {  # the wineserver socket folders of one prefix, by device and inode
    local name
    name=$(printf 'server-%x-%x' "$(stat -c %d "$1")" "$(stat -c %i "$1")")
    ls -d /tmp/.wine-"$(id -u)"/"$name" /tmp/wine-*/"$name" 2>/dev/null
}

# Processes of a prefix, known by the WINEPREFIX they were started with.
prefix_processes() {
    grep -lsz "^WINEPREFIX=$1\$" /proc/[0-9]*/environ | wc -l
}

# One kept prefix for the cases that do not look at the clean-up, booted up
# front as ctest boots the prefix of the Windows test suites.
"$wine_run" --boot "$session" </dev/null >/dev/null 2>&1
check "--boot makes the prefix" 0 $?
export JV_WINE_PREFIX=$session
for code in 0 3 259 3010 255; do
    "$wine_run" "$probe" exit "$code" </dev/null >/dev/null 2>&1
    check "exit code $code arrives as its low byte" $((code & 255)) $?
done

out=$("$wine_run" "$probe" args "a b" "" '/n12' 'x.ytr' 'c:\temp.ytr' </dev/null 2>/dev/null)
status=$?
check "arguments arrive one by one, blanks and empty ones kept" '<a b><></n12><x.ytr><c:\temp.ytr>' "$out"
check "argument count" 5 "$status"

out=$(printf 'y\n12\nlast' | "$wine_run" "$probe" stdin 2>/dev/null)
check "standard input reaches the program" 'y|12|last#9' "$out"
out=$("$wine_run" "$probe" stdin </dev/null 2>/dev/null)
check "closed standard input reads as its end" '#0' "$out"

started=$SECONDS
"$wine_run" "$probe" crash </dev/null >/dev/null 2>&1
status=$?
[ "$status" -ne 0 ] && crash=failed || crash=succeeded
check "a crash is a failure" failed "$crash"
[ $((SECONDS - started)) -lt 60 ] && bound=yes || bound=no
check "a crash ends at once, no debugger waits" yes "$bound"

started=$SECONDS
JV_WINE_TIMEOUT=3 "$wine_run" "$probe" hang </dev/null >/dev/null 2>"$work/hang.err"
status=$?
check "a hang is stopped at the time limit" 124 "$status"
[ $((SECONDS - started)) -lt 60 ] && bound=yes || bound=no
check "the time limit is kept" yes "$bound"
grep -q 'did not end within 3s' "$work/hang.err" && said=yes || said=no
check "a hang is reported" yes "$said"
sleep 1
pgrep -f "$(basename -- "$work")" >/dev/null && spinning=yes || spinning=no
check "the hung program does not outlive its run" no "$spinning"

# The kept prefix is taken down by --clean, wineserver folder included.
folders=$(server_folders "$session")
[ -n "$folders" ] && seen=yes || seen=no
check "the kept prefix has a wineserver folder" yes "$seen"
"$wine_run" --clean "$session"
[ -e "$session" ] && left=yes || left=no
check "--clean removes the prefix" no "$left"
left=no
for folder in $folders; do [ -e "$folder" ] && left=yes; done
check "--clean removes the wineserver folder" no "$left"
check "--clean ends the prefix's wineserver and system processes" 0 "$(prefix_processes "$session")"
unset JV_WINE_PREFIX

# Without JV_WINE_PREFIX every run has a private prefix in the build folder,
# gone when the run ends, also when the program failed.
prefix=$("$wine_run" "$probe" prefix </dev/null 2>/dev/null)
case $prefix in "$work/build/wine-prefix."*) where=build ;; *) where="elsewhere: $prefix" ;; esac
check "a private prefix is made in the build folder" build "$where"
[ -n "$prefix" ] && [ -e "$prefix" ] && left=yes || left=no
check "the private prefix is gone afterwards" no "$left"
"$wine_run" "$probe" exit 7 </dev/null >/dev/null 2>&1
check "a failing run keeps its exit code" 7 $?
left=$(find "$work/build" -maxdepth 1 -name 'wine-prefix.*' | wc -l)
check "no prefix is left in the build folder" 0 "$left"

"$wine_run" "$work/missing.exe" </dev/null >/dev/null 2>"$work/missing.err"
check "a missing program is refused" 125 $?
grep -q 'no such program' "$work/missing.err" && said=yes || said=no
check "a missing program is named" yes "$said"

echo "wine_run: $failures failed"
[ "$failures" -eq 0 ]
