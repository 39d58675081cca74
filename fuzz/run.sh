#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and the sanitizers in build-fuzz/
# and runs each on a copy of its seed corpus for a bounded time. Fails when a
# target finds a crash, a leak, a time-out or undefined behaviour.
#   JV_FUZZ_SECONDS  seconds per target (default 60)
#   JV_FUZZ_BUILD    build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${JV_FUZZ_SECONDS:-60}
build=${JV_FUZZ_BUILD:-build-fuzz}
targets=(fuzz_package_loader fuzz_package_file fuzz_settings)

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DJV_FUZZ=ON -DJV_SANITIZE=ON -DJV_TESTS=OFF >/dev/null
ninja -C "$build" -j2 "${targets[@]}"
build=$(cd "$build" && pwd)

work=$(mktemp -d)
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
        grep -E '^stat::number_of_executed_units' "$work/$target.log" | sed "s/^/fuzz: $target /" || true
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
