#!/usr/bin/env bash
# Builds the program every way it ships or is checked, and runs every test:
#   deps      the Debian packages (scripts/deps.sh)
#   native    build/       + ctest
#   asan      build-asan/  AddressSanitizer and UndefinedBehaviorSanitizer + ctest
#   windows   build-win/   32-bit Windows cross build in Release (-O3, every
#                          warning an error) + ctest under Wine + its zip
#                          (cpack -G ZIP)
#   deb       build-deb/   Release build of what installs, and its Debian
#                          package (cpack -G DEB): jorvane_<version>_<arch>.deb
#   lintian   lintian on that package: no error
#   fuzz      fuzz/run.sh, when present
#   e2e/NAME  every executable tests/e2e/*.sh, given JV_BUILD, JV_BUILD_ASAN and
#             JV_BUILD_WIN (absolute build folders) in the environment
# Every step runs even when an earlier one failed; the script fails when any
# step failed and ends with the line "N passed, N failed".
#
# The build folders can be moved with JV_BUILD, JV_BUILD_ASAN, JV_BUILD_WIN, JV_BUILD_DEB
# (relative to the repository or absolute); JV_JOBS sets the parallelism
# (default 2); JV_STEPS, a space-separated list of step names (e.g.
# "native e2e"), runs only those steps.
set -uo pipefail

root=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1

absolute() {
    case $1 in
        /*) printf '%s' "$1" ;;
        *) printf '%s/%s' "$root" "$1" ;;
    esac
}
build=$(absolute "${JV_BUILD:-build}")
build_asan=$(absolute "${JV_BUILD_ASAN:-build-asan}")
build_win=$(absolute "${JV_BUILD_WIN:-build-win}")
build_deb=$(absolute "${JV_BUILD_DEB:-build-deb}")
jobs=${JV_JOBS:-2}
only=" ${JV_STEPS:-} "
export JV_BUILD=$build JV_BUILD_ASAN=$build_asan JV_BUILD_WIN=$build_win

passed=0
failed=0
results=()

wanted() {
    [ "$only" = "  " ] && return 0
    [[ $only == *" $1 "* ]] && return 0
    [[ $1 == e2e/* && $only == *" e2e "* ]]
}

# step NAME COMMAND...: runs one step with no standard input and records it.
step() {
    local name=$1 status start
    shift
    wanted "$name" || return 0
    start=$SECONDS
    printf '\n======== %s ========\n' "$name"
    "$@" </dev/null
    status=$?
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        results+=("PASS  $name ($((SECONDS - start)) s)")
    else
        failed=$((failed + 1))
        results+=("FAIL  $name ($((SECONDS - start)) s, exit $status)")
    fi
}

configure_build_test() {
    local folder=$1
    shift
    cmake -S "$root" -B "$folder" -G Ninja "$@" &&
        cmake --build "$folder" -j "$jobs" &&
        ctest --test-dir "$folder" --output-on-failure -j "$jobs" --timeout 900 --no-tests=error
}

native() { configure_build_test "$build"; }

asan() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        configure_build_test "$build_asan" -DJV_SANITIZE=ON
}

# Every suite of the Windows test program is a ctest test of its own, all
# run under Wine in one shared prefix; one at a time, as they share it.
windows() {
    cmake -S "$root" -B "$build_win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release &&
        cmake --build "$build_win" -j "$jobs" &&
        ctest --test-dir "$build_win" --output-on-failure -j 1 --timeout 1200 --no-tests=error &&
        (cd "$build_win" && cpack -G ZIP)
}

# The package is made from a build of its own: Release, without the tests
# (nothing of them is installed). An older package is removed first, so the
# lintian step never checks one that this run did not make.
deb() {
    rm -f "$build_deb"/jorvane_*.deb
    cmake -S "$root" -B "$build_deb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DJV_TESTS=OFF &&
        cmake --build "$build_deb" -j "$jobs" &&
        (cd "$build_deb" && cpack -G DEB)
}

lintian_deb() {
    local packages=("$build_deb"/jorvane_*.deb)
    [ -f "${packages[0]}" ] || { echo "no package in $build_deb (the deb step makes it)"; return 1; }
    lintian --fail-on error --info "${packages[@]}"
}

fuzz() { timeout -k 30 1800 bash "$root/fuzz/run.sh"; }

e2e() { timeout -k 30 900 "$1"; }

step deps bash "$root/scripts/deps.sh"
step native native
step asan asan
step windows windows
step deb deb
step lintian lintian_deb
if [ -f "$root/fuzz/run.sh" ]; then
    step fuzz fuzz
fi
for script in "$root"/tests/e2e/*.sh; do
    [ -f "$script" ] && [ -x "$script" ] || continue
    step "e2e/$(basename -- "$script" .sh)" e2e "$script"
done

printf '\n======== summary ========\n'
printf '%s\n' "${results[@]}"
printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
