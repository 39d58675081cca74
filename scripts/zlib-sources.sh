#!/usr/bin/env bash
# Fetches Debian's zlib source package into /usr/src/zlib-debian. No MinGW
# build of minizip is packaged, so the Windows build compiles minizip's unzip
# layer from these sources (cmake/Dependencies.cmake finds them there).
# Quick and silent when the sources are there already.
set -euo pipefail

dest=/usr/src/zlib-debian
if compgen -G "$dest/zlib-*/contrib/minizip/unzip.c" >/dev/null; then
    echo "zlib sources: present"
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "zlib sources: need root (or sudo)" >&2; exit 1; }
    sudo=(sudo)
fi

# apt-get source needs a deb-src line; add one for Debian's own archive when
# none is configured.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
    echo "zlib sources: adding a deb-src entry for $codename"
    printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$codename" | "${sudo[@]}" tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
    "${sudo[@]}" apt-get update -q </dev/null
fi

"${sudo[@]}" mkdir -p "$dest"
cd "$dest"
"${sudo[@]}" apt-get source -q zlib </dev/null
compgen -G "$dest/zlib-*/contrib/minizip/unzip.c" >/dev/null || { echo "zlib sources: minizip not found" >&2; exit 1; }
echo "zlib sources: done"
