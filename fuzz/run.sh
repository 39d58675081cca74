#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers in build-fuzz/
# and runs each, one after the other, on a copy of its seed corpus for a
# bounded time. Fails when a target finds a crash, a leak, a time-out or
# undefined behaviour; the input that did it is kept in the build folder.
#
#   fuzz/run.sh                       every target for JV_FUZZ_SECONDS
#   fuzz/run.sh --minutes N           every target for N minutes (long runs)
#   fuzz/run.sh [--minutes N] TARGET  only the targets named
#
#   JV_FUZZ_SECONDS  seconds per target in the short run (default 36: the
#                    five targets take three minutes)
#   JV_FUZZ_BUILD    build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${JV_FUZZ_SECONDS:-36}
build=${JV_FUZZ_BUILD:-build-fuzz}
all=(fuzz_package_loader fuzz_package_file fuzz_zip_package fuzz_settings fuzz_command_line)

targets=()
while [ $# -gt 0 ]; do
    case $1 in
        --minutes)
            [ $# -ge 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: --minutes takes a whole number" >&2; exit 2; }
            seconds=$(($2 * 60))
            shift 2
            ;;
        fuzz_*)
            [[ " ${all[*]} " == *" $1 "* ]] || { echo "fuzz: no target $1 (${all[*]})" >&2; exit 2; }
            targets+=("$1")
            shift
            ;;
        *)
            echo "usage: fuzz/run.sh [--minutes N] [TARGET...]" >&2
            exit 2
            ;;
    esac
done
[ ${#targets[@]} -ne 0 ] || targets=("${all[@]}")

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DJV_FUZZ=ON -DJV_SANITIZE=ON -DJV_TESTS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]}"
build=$(cd "$build" && pwd)

# The targets keep their scratch files in TMPDIR: a memory file system, where
# there is one, spares every input a trip to the disk.
scratch_root=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch_root=/dev/shm
work=$(mktemp -d "$scratch_root/jv-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

failed=()
for target in "${targets[@]}"; do
    seeds="fuzz/corpus/${target#fuzz_}"
    corpus="$work/$target"
    mkdir -p "$corpus"
    if [ -d "$seeds" ]; then cp -R "$seeds/." "$corpus/"; fi
    echo "fuzz: $target for ${seconds}s on $(ls "$corpus" | wc -l) seeds"
    # Each target runs in its own scratch folder so that nothing it writes
    # lands in the tree.
    if (cd "$work" && TMPDIR="$work" "$build/fuzz/$target" -max_total_time="$seconds" -timeout=20 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$corpus" \
            >"$work/$target.log" 2>&1); then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
        rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target.log")
        echo "fuzz: $target ran ${runs:-?} inputs (${rate:-?} a second)"
    else
        echo "fuzz: $target FAILED; the end of its log:" >&2
        tail -n 40 "$work/$target.log" >&2
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: failed: ${failed[*]} (inputs in $artifacts)" >&2
    exit 1
fi
echo "fuzz: all ${#targets[@]} targets ran clean"
