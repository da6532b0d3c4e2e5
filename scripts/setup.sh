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

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386
    fi
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
