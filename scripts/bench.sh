#!/bin/bash
# bench.sh [--build DIR] [FIGURE...]: runs quillonbench.exe of a built tree
# (nothing is built here) with the peers its link figures need: the native
# Modbus TCP server for figures 5 and 7, the serial rig's Modbus RTU slave
# on COM$QUILLON_BENCH_COM (default 60) for figure 6. Both are stopped
# again when the program ends. Without figures, all of them run.
#
# DIR defaults to build/<arch> of the architecture the tests run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build=""
if [ "${1:-}" = --build ]; then build="$2"; shift 2; fi
[ -n "$build" ] || build="$BUILD_ROOT/$(test_arch)"
build="$(cd "$build" && pwd)"
com="${QUILLON_BENCH_COM:-60}"
rig="$QUILLON_ROOT/scripts/serial-rig.sh"

die() { echo "bench: $*" >&2; exit 1; }
[ -x "$build/bin/quillonbench.exe" ] || die "$build/bin/quillonbench.exe is not built"
[ -x "$build/wine-run" ] || die "$build/wine-run is missing: configure the tree first"
for figure in "$@"; do
    case "$figure" in [1-7]) ;; *) die "figures are numbers from 1 to 7, not '$figure'";; esac
done

wanted() {
    local figure asked
    for figure in "${figures[@]}"; do
        for asked in "$@"; do [ "$figure" = "$asked" ] && return 0; done
    done
    return 1
}
figures=("$@")
[ ${#figures[@]} -gt 0 ] || figures=(1 2 3 4 5 6 7)

rig_started=0 rig_env=""
cleanup() {
    if [ "$rig_started" = 1 ]; then "$rig" --build "$build" stop "$com" >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT

"$QUILLON_ROOT/scripts/make-prefix.sh" "$build"
# The server and Wine's services start with stdio of their own, so that a
# caller reading this script's output is not kept waiting by them.
WINEPREFIX="$build/wineprefix" wineserver -p 300 </dev/null >/dev/null 2>&1 || true
"$build/wine-run" cmd /c exit </dev/null >/dev/null 2>&1 || die "Wine cannot start programs in $build/wineprefix"

launch=()
if wanted 5 7; then
    if [ -x "$build/native/modbuspeer" ]; then
        launch=("$QUILLON_ROOT/tests/support/with-modbus-peer.sh" "$build")
    else
        echo "bench: $build/native/modbuspeer is not built: figures 5 and 7 are skipped" >&2
    fi
fi
if wanted 6; then
    if [ -x "$build/rig/serialsim" ]; then
        "$rig" --build "$build" start "$com" modbus >/dev/null
        rig_started=1
        # Wine's COM ports answer modem-line requests through a preloaded
        # library: for the program under Wine only.
        rig_env="$("$rig" --build "$build" env)"
        export QUILLON_MODBUS_COM="$com"
    else
        echo "bench: the serial rig is not built ($build/rig): figure 6 is skipped" >&2
    fi
fi

status=0
(eval "$rig_env"; exec "${launch[@]}" "$build/wine-run" "$build/bin/quillonbench.exe" "${figures[@]}") || status=$?
exit "$status"
