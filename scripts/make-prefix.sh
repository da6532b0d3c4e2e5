#!/bin/bash
# make-prefix.sh BUILD_DIR: creates BUILD_DIR/wineprefix without prompts.
set -euo pipefail
dir="$1"
prefix="$dir/wineprefix"
[ -f "$prefix/.quillon-ready" ] && exit 0
rm -rf "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$dir/wine-run" wineboot -u </dev/null >/dev/null 2>&1
# Hidden windows (socket notification windows) need a display driver even
# when no X server is there.
"$dir/wine-run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d x11,null /f \
    </dev/null >/dev/null 2>&1
wineserver -w </dev/null >/dev/null 2>&1 || true
touch "$prefix/.quillon-ready"
