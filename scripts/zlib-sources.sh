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

# apt-get source needs a deb-src line; when none is configured, add one for
# each archive the machine already installs binary packages from.
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    stanzas=$(for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:[ \t]*deb[ \t]*(\n|$)/ { sub(/Types:[ \t]*deb[ \t]*/, "Types: deb-src"); print }' "$f"
    done)
    lines=$(for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        sed -nE 's/^deb[[:space:]]+/deb-src /p' "$f"
    done)
    if [ -z "$stanzas$lines" ]; then
        echo "zlib sources: no deb entry to add a deb-src entry for" >&2
        exit 1
    fi
    echo "zlib sources: adding deb-src entries for the configured archives"
    if [ -n "$stanzas" ]; then
        printf '%s\n' "$stanzas" | "${sudo[@]}" tee /etc/apt/sources.list.d/jorvane-src.sources >/dev/null
    fi
    if [ -n "$lines" ]; then
        printf '%s\n' "$lines" | "${sudo[@]}" tee /etc/apt/sources.list.d/jorvane-src.list >/dev/null
    fi
    "${sudo[@]}" apt-get update -q </dev/null
fi

"${sudo[@]}" mkdir -p "$dest"
cd "$dest"

# An archive may list a version whose files it does not serve (a security
# suite's newest upload, say), so try every listed version, newest first.
mapfile -t versions < <(apt-cache showsrc zlib 2>/dev/null |
    sed -n 's/^Version:[[:space:]]*//p' | sort -u | sort -r -V)
if [ ${#versions[@]} -eq 0 ]; then
    echo "zlib sources: apt-cache showsrc zlib lists no version" >&2
    exit 1
fi
log=$(mktemp)
for v in "${versions[@]}"; do
    echo "zlib sources: fetching zlib=$v"
    if "${sudo[@]}" apt-get source -q "zlib=$v" </dev/null >"$log" 2>&1 &&
        compgen -G "$dest/zlib-*/contrib/minizip/unzip.c" >/dev/null; then
        rm -f "$log"
        echo "zlib sources: done (zlib=$v)"
        exit 0
    fi
done
echo "zlib sources: no listed version of zlib could be fetched (tried ${versions[*]}; the last attempt's output is in $log)" >&2
exit 1
