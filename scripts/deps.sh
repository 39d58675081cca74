#!/usr/bin/env bash
# Installs the Debian packages that building, testing and cross-building
# need. Quick and silent when everything is there already; otherwise enables
# the i386 architecture (for 32-bit Wine), refreshes the package lists once
# and installs only what is missing. The multilib compilers build the 32-bit
# SG_IO shim that serves drives to the Windows program under Wine.
set -euo pipefail

packages=(
    cmake ninja-build pkg-config g++ clang libclang-rt-14-dev
    libgtest-dev googletest libgmock-dev libbenchmark-dev
    libminizip-dev zlib1g-dev libsgutils2-dev sg3-utils
    g++-mingw-w64-i686-win32 gcc-mingw-w64-i686-win32 libz-mingw-w64-dev
    gcc-multilib g++-multilib lib32stdc++-12-dev libc6-dev-i386
    wine wine32:i386
    zip unzip dpkg-dev
)

installed() {
    [ "$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]
}

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "deps: all ${#packages[@]} packages present"
    exec bash "$(dirname "$0")/zlib-sources.sh"
fi

echo "deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "deps: need root (or sudo) to install packages" >&2; exit 1; }
    sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -q </dev/null
"${sudo[@]}" apt-get install -y -q "${missing[@]}" </dev/null
still=()
for p in "${missing[@]}"; do
    installed "$p" || still+=("$p")
done
if [ ${#still[@]} -ne 0 ]; then
    echo "deps: could not install ${still[*]}" >&2
    exit 1
fi
echo "deps: done"
exec bash "$(dirname "$0")/zlib-sources.sh"
