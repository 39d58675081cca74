#!/usr/bin/env bash
# The program's main job on this machine: installs what it needs, builds, and
# runs the updater against the virtual drive, so nothing real is flashed.
# JV_BUILD moves the build folder (default build/), JV_JOBS the parallelism.
set -euo pipefail

root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
build=${JV_BUILD:-build}
case $build in /*) ;; *) build=$root/$build ;; esac

bash "$root/scripts/deps.sh" native
cmake -S "$root" -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j "${JV_JOBS:-2}" --target jorvane-sim jorvane-make-sample

# The program's exit codes are 3010 and 259; a POSIX shell sees their low
# byte, 194 and 3. A signal or a code the program never returns is a failure.
run() {
    local status=0
    printf '\n$ jorvane-sim %s\n' "$*"
    "$build/jorvane-sim" "$@" </dev/null || status=$?
    printf '[exit code %d]\n' "$status"
    case $status in
        0 | 3 | 194) return 0 ;;
        *) echo "demo: jorvane-sim $* ended with exit code $status" >&2; return 1 ;;
    esac
}

run /h
run /v

# The main job: a sample package of our own making (filler firmware that runs
# on nothing but a virtual drive) flashed into the virtual drive it was made
# for. The drive keeps its flash in a file beside its rig, so the listing
# afterwards meets the same drive, now reporting the package's version.
sample=$build/demo
mkdir -p "$sample"
rm -f "$sample/sample-rig-flash.bin"
"$build/tools/jorvane-make-sample" "$sample"
export JORVANE_RIG=$sample/sample-rig.ini
cd "$sample"
run /c
printf '\n$ jorvane-sim sample.ytr    (answering y)\n'
status=0
printf 'y' | "$build/jorvane-sim" sample.ytr || status=$?
printf '[exit code %d]\n' "$status"
if [ "$status" -ne 194 ]; then
    echo "demo: the update ended with exit code $status, not 194 (3010)" >&2
    exit 1
fi
run /c
