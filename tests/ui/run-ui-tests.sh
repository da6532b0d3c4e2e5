#!/bin/bash
# run-ui-tests.sh BUILD_DIR [gtest arguments]: runs test_ui.exe on a virtual X
# display in the build tree's user-interface prefix, takes the pictures it
# asks for with ImageMagick, and compares each with its reference in
# tests/ui/reference. Exit 77 (skipped) when no display can be made.
#
# QUILLON_UPDATE_PICTURES=1 copies the pictures taken into tests/ui/reference
# and the page pictures into docs/images instead of comparing them.
set -u
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"

if [ "${1:-}" = --inside ]; then
    # On the display: the prefix's server starts here, so its desktop
    # process draws on this display.
    build="$2" shots="$3"
    shift 3
    export QUILLON_WINEPREFIX="$build/wineprefix-ui" WINEPREFIX="$build/wineprefix-ui"
    touch "$shots/.display"
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -p 30 </dev/null >/dev/null 2>&1
    # Picture server: the test writes NAME.request holding an X window id
    # once the window has repainted; the picture is taken until two takes
    # agree, then published as NAME.png.
    (
        while [ ! -f "$shots/.done" ]; do
            for request in "$shots"/*.request; do
                [ -f "$request" ] || continue
                name="${request%.request}"
                window="$(tr -d '\r\n' < "$request")"
                /usr/bin/import -window "$window" "$name.a.png" 2>/dev/null
                for take in 1 2 3 4 5 6 7 8 9 10; do
                    /usr/bin/import -window "$window" "$name.b.png" 2>/dev/null
                    /usr/bin/compare -metric AE "$name.a.png" "$name.b.png" null: 2>/dev/null && break
                    mv "$name.b.png" "$name.a.png"
                done
                rm -f "$name.b.png" "$request"
                mv "$name.a.png" "$name.png"
            done
            sleep 0.05
        done
    ) &
    server=$!
    cd "$build/bin"
    QUILLON_SHOTS="$shots" "$build/wine-run" ./test_ui.exe "$@" </dev/null
    status=$?
    touch "$shots/.done"
    wait "$server"
    wineserver -k </dev/null >/dev/null 2>&1
    exit $status
fi

build="$(cd "$1" && pwd)"
shift
for tool in xvfb-run xauth /usr/bin/import /usr/bin/compare; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed, so the settings sheet cannot be shown (scripts/setup.sh installs it)"
        exit 77
    fi
done
"$root/scripts/make-prefix.sh" "$build" wineprefix-ui
shots="$build/tests/ui/shots"
rm -rf "$shots"
mkdir -p "$shots"
xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$build" "$shots" "$@"
status=$?
if [ ! -f "$shots/.display" ]; then
    echo "SKIPPED: no virtual X display could be made (xvfb-run exit $status)"
    exit 77
fi
[ $status -eq 0 ] || exit $status

failures=0
for shot in "$shots"/*.png; do
    [ -f "$shot" ] || continue
    name="$(basename "$shot")"
    reference="$here/reference/$name"
    if [ "${QUILLON_UPDATE_PICTURES:-}" = 1 ]; then
        cp "$shot" "$reference"
        case "$name" in page-*) mkdir -p "$root/docs/images" && cp "$shot" "$root/docs/images/settings-${name#page-}" ;; esac
        echo "updated $name"
        continue
    fi
    if [ ! -f "$reference" ]; then
        echo "FAIL: no reference picture $reference (QUILLON_UPDATE_PICTURES=1 makes it)"
        failures=$((failures + 1))
        continue
    fi
    # Font rendering may differ a little between machines; a moved or
    # missing control differs in far more pixels.
    differing=$(/usr/bin/compare -metric AE -fuzz 3% "$reference" "$shot" "$shots/${name%.png}.diff.png" 2>&1 >/dev/null)
    if ! [[ "$differing" =~ ^[0-9]+$ ]] || [ "$differing" -gt 100 ]; then
        echo "FAIL: $name differs from its reference in $differing pixels (see $shots/${name%.png}.diff.png)"
        failures=$((failures + 1))
    else
        echo "picture $name matches its reference ($differing pixels differ)"
    fi
done
expected=$(ls "$here/reference"/*.png 2>/dev/null | wc -l)
taken=$(ls "$shots"/*.png 2>/dev/null | grep -vc '\.diff\.png$')
if [ "${QUILLON_UPDATE_PICTURES:-}" != 1 ] && [ "$taken" -lt "$expected" ]; then
    echo "FAIL: $taken pictures taken, $expected references"
    failures=$((failures + 1))
fi
exit $((failures > 0))
