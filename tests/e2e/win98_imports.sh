#!/usr/bin/env bash
# Keeps jorvane.exe, jorvane-backup.exe and jorvane-verify.exe loadable on Windows 95/98/ME:
# every function they import must be on the allow-list
# tests/data/win98-imports.txt, which holds only functions those systems have. Their loader refuses a program with a single
# import their DLLs lack, before main runs; Wine does not enforce this (it
# exports every function whatever Windows version it plays), so the Windows
# 98 runs under Wine cannot catch it. Reads the import tables of the built
# programs in JV_BUILD_WIN and builds nothing.
set -uo pipefail

root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/../.." && pwd)
allow=$root/tests/data/win98-imports.txt
objdump=i686-w64-mingw32-objdump

[ -n "${JV_BUILD_WIN:-}" ] || { echo "win98_imports: JV_BUILD_WIN (the MinGW build folder) is not set" >&2; exit 1; }
[ -f "$allow" ] || { echo "win98_imports: $allow is missing" >&2; exit 1; }
command -v "$objdump" >/dev/null 2>&1 || { echo "win98_imports: $objdump is not installed" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/jv-win98-imports.XXXXXX") || exit 1
trap 'rm -rf -- "$work"' EXIT

# The allow-list without comments and blank lines, DLL names in capitals.
awk '!/^[ \t]*(#|$)/ { print toupper($1) " " $2 }' "$allow" | sort -u >"$work/allowed"

# check PROGRAM: every import of the program is on the list.
check() {
    local program=$1 count unused
    [ -f "$program" ] || { echo "win98_imports: $program is missing; build the MinGW build first" >&2; return 1; }
    if ! "$objdump" -p "$program" >"$work/headers" 2>"$work/errors"; then
        cat "$work/errors" >&2
        echo "win98_imports: $objdump cannot read $program" >&2
        return 1
    fi

    # One "DLL function" line per import, the DLL in capitals without ".dll". An
    # import by ordinal has no name to check and is reported as such.
    awk '
        /^[ \t]*DLL Name:/ { dll = toupper($3); sub(/\.DLL$/, "", dll); table = 1; next }
        table && /Hint\/Ord/ { next }
        table && /^[ \t]*$/ { table = 0; next }
        table {
            if (NF >= 3 && $3 != "<none>") print dll " " $3
            else print dll " <ordinal " $2 ">"
        }
    ' "$work/headers" | sort -u >"$work/imports"

    count=$(wc -l <"$work/imports")
    if [ "$count" -eq 0 ]; then
        echo "win98_imports: no imports found in $program (is the objdump output as expected?)" >&2
        return 1
    fi

    comm -23 "$work/imports" "$work/allowed" >"$work/refused"
    if [ -s "$work/refused" ]; then
        echo "win98_imports: $program imports functions that Windows 95/98/ME may not have:" >&2
        sed 's/^/  /' "$work/refused" >&2
        echo "win98_imports: remove the use, or add the function to tests/data/win98-imports.txt" \
             "once it is known to be on those systems" >&2
        return 1
    fi
    unused=$(comm -13 "$work/imports" "$work/allowed" | wc -l)
    echo "win98_imports: all $count imports of $(basename -- "$program") are on the list ($unused listed but not imported)"
}

status=0
for program in jorvane.exe jorvane-backup.exe jorvane-verify.exe; do
    check "$JV_BUILD_WIN/$program" || status=1
done
exit $status
