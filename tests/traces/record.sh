#!/usr/bin/env bash
# Records the traces of tests/traces again from the virtual drive, with the
# expected output and exit status beside each: run it when the programs'
# output or their commands change on purpose, and look at the difference
# before committing it. tests/e2e/traces.sh replays them.
#
#   JV_BUILD=build tests/traces/record.sh [NAME...]
set -u
here=$(cd "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${JV_BUILD:?set JV_BUILD to the build folder}" && pwd) || exit 1
. "$here/cases.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
names=("$@")
[ ${#names[@]} -gt 0 ] || names=("${trace_cases[@]}")
for name in "${names[@]}"; do
    mkdir "$work/$name" && cd "$work/$name" || exit 1
    prepare "$name"
    rm -f "$here/$name.jsonl.gz"
    JORVANE_TRACE=$here/$name.jsonl.gz play "$name" rig.ini
    printf '%s\n' "$out" >"$here/$name.out"
    echo "$status" >"$here/$name.status"
    echo "$name: exit status $status, $(stat -c %s "$here/$name.jsonl.gz") bytes"
done
