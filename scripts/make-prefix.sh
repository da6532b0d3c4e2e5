#!/bin/bash
# make-prefix.sh BUILD_DIR [NAME]: creates BUILD_DIR/NAME (default wineprefix)
# without prompts and applies the settings the tests rely on. The user-
# interface tests use a prefix of their own (wineprefix-ui): its desktop
# process must start on their virtual display. The settings are applied
# again whenever this script changes, without making the prefix anew.
set -euo pipefail
dir="$(cd "$1" && pwd)"
prefix="$dir/${2:-wineprefix}"
marker="$prefix/.quillon-ready"
version="$(sha1sum "$0" | cut -d' ' -f1)"
[ -f "$marker" ] && [ "$(cat "$marker")" = "$version" ] && exit 0
export QUILLON_WINEPREFIX="$prefix" WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
made=0
if [ ! -f "$prefix/system.reg" ]; then
    made=1
    rm -rf "$prefix"
    "$dir/wine-run" wineboot -u </dev/null >/dev/null 2>&1 || { echo "error: wineboot failed for $prefix" >&2; exit 1; }
fi
settings() {
    # Hidden windows (socket notification windows) need a display driver
    # even when no X server is there.
    echo "[HKEY_CURRENT_USER\\Software\\Wine\\Drivers]"
    echo '"Graphics"="x11,null"'
    # Windows without frames and outside any window manager: pictures of a
    # window do not depend on one, and a closed window costs no waiting.
    echo "[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]"
    echo '"Decorated"="N"'
    echo '"Managed"="N"'
    # A crashing program ends at once (exit code 5) instead of waiting in
    # Wine's debugger until the test's time limit.
    local view
    for view in "" "Wow6432Node\\"; do
        echo "[HKEY_LOCAL_MACHINE\\Software\\${view}Microsoft\\Windows NT\\CurrentVersion\\AeDebug]"
        echo '"Debugger"=""'
    done
}
reg_file="$(mktemp --suffix=.reg)"
trap 'rm -f "$reg_file"' EXIT
{ echo "REGEDIT4"; echo; settings; } > "$reg_file"
"$dir/wine-run" regedit /S "$(winepath -w "$reg_file" 2>/dev/null || echo "Z:$reg_file")" </dev/null >/dev/null 2>&1 ||
    { echo "error: the test settings could not be written into $prefix" >&2; exit 1; }
# A new prefix is on disk once its server has ended. A prefix in use keeps
# its server (a persistent one may be serving tests): the settings are live
# there at once and saved when it ends.
if [ "$made" = 1 ]; then wineserver -w </dev/null >/dev/null 2>&1 || true; fi
echo "$version" > "$marker"
