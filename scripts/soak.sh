#!/bin/bash
# soak.sh [--build DIR] MINUTES: runs the soak program of a built tree
# (tests/soak; nothing is built here) for MINUTES minutes: two drivers, one
# on the Ethernet link to a hostile peer on loopback, one on the serial rig,
# with the far ends cycling through their faults. Its counts are the last
# lines of its output.
#
# DIR defaults to build/<arch> of the architecture the tests run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

build=""
if [ "${1:-}" = --build ]; then build="$2"; shift 2; fi
[ -n "$build" ] || build="$BUILD_ROOT/$(test_arch)"
build="$(cd "$build" && pwd)"
rig="$QUILLON_ROOT/scripts/serial-rig.sh"

die() { echo "soak: $*" >&2; exit 1; }
[ $# -eq 1 ] && [[ "$1" =~ ^[1-9][0-9]*$ ]] || die "usage: soak.sh [--build DIR] MINUTES"
[ -x "$build/bin/test_soak.exe" ] || die "$build/bin/test_soak.exe is not built"
[ -x "$build/rig/serialsim" ] || die "the serial rig is not built ($build/rig)"

"$QUILLON_ROOT/scripts/make-prefix.sh" "$build"
WINEPREFIX="$build/wineprefix" wineserver -p 300 </dev/null >/dev/null 2>&1 || true
"$build/wine-run" cmd /c exit </dev/null >/dev/null 2>&1 || die "Wine cannot start programs in $build/wineprefix"

export QUILLON_SOAK_SECONDS=$(($1 * 60)) QUILLON_BIN="$build/bin" QUILLON_RIG="$rig" QUILLON_BUILD="$build"
# The modem-line library is preloaded for the program under Wine only.
(eval "$("$rig" --build "$build" env)"; exec "$build/wine-run" "$build/bin/test_soak.exe")
