#!/usr/bin/env bash
# The recorded drives of tests/traces, replayed with today's program: each
# must print what it printed when it was recorded and end with the same exit
# status. A package that differs from the recorded one ends the replay at the
# first command that differs, named on standard error, and the program fails
# by its own path. tests/traces/record.sh records them again.
#
# JV_BUILD: the build folder (jorvane-sim, jorvane-backup-sim, jorvane-trace,
# tools/jorvane-make-sample, tools/jorvane-merge).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
require_built "$build/jorvane-backup-sim" "$build/jorvane-trace" "$build/tools/jorvane-merge"
traces=$(cd "$(dirname -- "${BASH_SOURCE[0]}")/../traces" && pwd)
. "$traces/cases.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for name in "${trace_cases[@]}"; do
    before=$failures
    mkdir "$work/$name" && cd "$work/$name" || exit 1
    prepare "$name"
    printf '[recorded]\nreplay = %s/%s.jsonl.gz\n' "$traces" "$name" >replay.ini
    play "$name" replay.ini
    expect_status "$(cat "$traces/$name.status")" "$name"
    [ "$out" == "$(cat "$traces/$name.out")" ] || fail "$name: the output differs from the recorded one:
$(diff <(cat "$traces/$name.out") <(printf '%s\n' "$out"))"
    # Every stored trace is whole and reads without a complaint.
    "$build/jorvane-trace" --summary "$traces/$name.jsonl.gz" >/dev/null || fail "$name: jorvane-trace refuses it"
    [ "$failures" -eq "$before" ] && echo "ok: $name replayed"
done

# Another package than the recorded one: the replay names the first page
# that differs and the flash fails instead of going on.
cd "$work/atapi3" || exit 1
"$make_sample" --package other.ytr --rig - --banks 1 --package-version 3.00 --atapi-type 3 . >/dev/null
out=$(printf y | JORVANE_RIG=replay.ini timeout 120 "$sim" other.ytr 2>&1)
status=$?
expect_status 3 "another package"
expect_text "replay: record 11: expected 5A 00 38 5A 45 A0 05 00 FF FE 00 00 with the 65534 bytes recorded, got bytes that differ from byte 4128 on" \
    "another package"
if grep -qF "Flash Completed" <<<"$out"; then fail "another package: success after the replay ended"; fi

# A trace that stops before the drive was asked anything more: the next
# command is past its end, and the drive answers CHECK CONDITION from then on.
zcat "$traces/atapi3.jsonl.gz" | head -n 5 >short.jsonl
printf '[recorded]\nreplay = short.jsonl\n' >short.ini
out=$(printf y | JORVANE_RIG=short.ini timeout 120 "$sim" package.ytr 2>&1)
status=$?
expect_text "replay: record 5: past the trace's end, got " "a trace cut short"
if grep -qF "Flash Completed" <<<"$out"; then fail "a trace cut short: success after the replay ended"; fi

# A rig whose trace is no trace is a rig that cannot be read.
echo 'not a trace' >bad.jsonl
printf '[recorded]\nreplay = bad.jsonl\n' >bad.ini
out=$(JORVANE_RIG=bad.ini timeout 120 "$sim" /c 2>&1)
status=$?
expect_text "bad.ini: drive [recorded]: replay = '" "a trace that is none"

[ "$failures" -eq 0 ] || exit 1
