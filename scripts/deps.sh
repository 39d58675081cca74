#!/usr/bin/env bash
# Installs the Debian packages a build needs. Quick and silent when everything
# is there already; otherwise refreshes the package lists once and installs
# only what is missing.
#
#   deps.sh native   what the native build (program, tools, tests) needs: the
#                    main job on the virtual drive (scripts/demo.sh) takes no more
#   deps.sh deb      the native build and what `cpack -G DEB` needs besides:
#                    dpkg-shlibdeps (dpkg-dev) and file, with which it finds
#                    the libraries the programs link
#   deps.sh [all]    everything scripts/test.sh builds and runs besides: clang
#                    with its fuzzing runtime, the MinGW cross compilers and
#                    32-bit Wine (the i386 architecture is enabled for it), the
#                    multilib compilers for the 32-bit SG_IO shim, zlib's
#                    sources for the Windows build's minizip, and ansible-core,
#                    which runs the fleet playbook of contrib/ansible in its
#                    end-to-end test (the programs themselves never need it)
set -euo pipefail

profile=${1:-all}
native=(
    cmake ninja-build pkg-config g++
    libgtest-dev googletest libgmock-dev
    libminizip-dev zlib1g-dev libsgutils2-dev nlohmann-json3-dev
)
rest=(
    clang libclang-rt-14-dev libbenchmark-dev sg3-utils python3 strace
    g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 libz-mingw-w64-dev
    gcc-multilib g++-multilib lib32stdc++-12-dev libc6-dev-i386
    wine wine32:i386
    zip unzip lintian
    ansible-core
)
deb=(dpkg-dev file)
case $profile in
    native) packages=("${native[@]}") ;;
    deb) packages=("${native[@]}" "${deb[@]}") ;;
    all) packages=("${native[@]}" "${deb[@]}" "${rest[@]}") ;;
    *) echo "deps: unknown set '$profile' (native, deb or all)" >&2; exit 2 ;;
esac

installed() {
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

finish() {
    [ "$profile" = all ] || exit 0
    exec bash "$(dirname "$0")/zlib-sources.sh"
}

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "deps: all ${#packages[@]} packages present"
    finish
fi

echo "deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "deps: need root (or sudo) to install packages" >&2; exit 1; }
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if [[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -q </dev/null
# The native set needs none of its recommended packages, and leaving them out
# keeps a fresh machine's first build quick; Wine is taken as Debian means it.
# ansible-core recommends the whole community collection (hundreds of
# megabytes); the playbook uses ansible.builtin alone.
lean=()
[ "$profile" = native ] && lean=(--no-install-recommends)
full=() bare=()
for p in "${missing[@]}"; do
    if [ "$p" = ansible-core ]; then bare+=("$p"); else full+=("$p"); fi
done
if [ ${#full[@]} -ne 0 ]; then
    "${sudo[@]}" apt-get install -y -q "${lean[@]}" "${full[@]}" </dev/null
fi
if [ ${#bare[@]} -ne 0 ]; then
    "${sudo[@]}" apt-get install -y -q --no-install-recommends "${bare[@]}" </dev/null
fi
still=()
for p in "${missing[@]}"; do
    installed "$p" || still+=("$p")
done
if [ ${#still[@]} -ne 0 ]; then
    echo "deps: could not install ${still[*]}" >&2
    exit 1
fi
echo "deps: done"
finish
