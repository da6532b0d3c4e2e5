#!/bin/bash
# Installs the Debian packages that building and testing need (as root; uses
# sudo when run as another user). Installs only what is missing.
set -euo pipefail

packages=(cmake ninja-build googletest wine wine32:i386 wine64 libwine-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
          xvfb xauth x11-utils imagemagick)
# The network tests' native Modbus peer, and their private network namespace.
packages+=(gcc libc6-dev libmodbus-dev iproute2 procps)
# The serial rig: a pseudo-terminal pair, its device simulator and the preloaded
# line library (32-bit where the tests run 32-bit).
packages+=(socat gcc-multilib)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -gt 0 ] || exit 0

echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
fi

# A mirror in the middle of a sync serves an index of the wrong size for a
# while: try the update again, then go on with whatever indexes came.
index_fault=""
for attempt in 1 2 3; do
    if as_root apt-get update -qq; then index_fault=""; break; fi
    index_fault="apt-get update could not fetch every package index"
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" -eq 3 ] || sleep $((attempt * 10))
done

if install_packages "${missing[@]}"; then exit 0; fi

# Only 32-bit Wine needs the i386 packages. When their index lags behind the
# 64-bit one they cannot be installed beside the newer 64-bit libraries; the
# shipped 32-bit build is still made and checked, and the tests run as 64-bit
# programs.
native=()
for p in "${missing[@]}"; do [[ "$p" == *:i386 ]] || native+=("$p"); done
if [ ${#native[@]} -lt ${#missing[@]} ] && install_packages "${native[@]}"; then
    echo "warning: the i386 packages could not be installed${index_fault:+ ($index_fault)}:" \
         "32-bit Wine is missing, so the tests run on the 64-bit build" >&2
    exit 0
fi
echo "error: apt-get could not install ${missing[*]}${index_fault:+ ($index_fault)}:" \
     "wait for the package mirror to finish its sync and run this again, or install with the" \
     "security suite pinned low (a file in /etc/apt/preferences.d with" \
     "'Package: *', 'Pin: release l=Debian-Security', 'Pin-Priority: 100')" >&2
exit 1
