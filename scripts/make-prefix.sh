#!/bin/bash
# make-prefix.sh BUILD_DIR [NAME]: creates BUILD_DIR/NAME (default wineprefix)
# without prompts. The user-interface tests use a prefix of their own
# (wineprefix-ui): its desktop process must start on their virtual display.
set -euo pipefail
dir="$(cd "$1" && pwd)"
prefix="$dir/${2:-wineprefix}"
[ -f "$prefix/.quillon-ready" ] && exit 0
rm -rf "$prefix"
export QUILLON_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
reg() { "$dir/wine-run" reg add "$@" /f </dev/null >/dev/null 2>&1; }
"$dir/wine-run" wineboot -u </dev/null >/dev/null 2>&1
# Hidden windows (socket notification windows) need a display driver even
# when no X server is there.
reg 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d x11,null
# Windows without frames and outside any window manager: pictures of a
# window do not depend on one, and a closed window costs no waiting for it.
reg 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N
reg 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N
# A crash ends the program at once instead of waiting in the debugger.
reg 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d ""
wineserver -w </dev/null >/dev/null 2>&1 || true
touch "$prefix/.quillon-ready"
