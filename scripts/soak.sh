#!/bin/bash
# Runs the links' soak (tests/soak) for MINUTES minutes in the build tree of
# the test architecture (or --build DIR), with the serial rig's environment.
#   scripts/soak.sh [--build DIR] MINUTES
set -euo pipefail
source "$(dirname "$0")/common.sh"
build=""
if [ "${1:-}" = --build ]; then build="$2"; shift 2; fi
[ -n "$build" ] || build="$BUILD_ROOT/$(test_arch)"
build="$(cd "$build" && pwd)"
minutes="${1:?usage: soak.sh [--build DIR] MINUTES}"
[[ "$minutes" =~ ^[0-9]+$ ]] && [ "$minutes" -gt 0 ] || { echo "error: MINUTES must be a whole number above 0" >&2; exit 2; }

eval "$("$QUILLON_ROOT/scripts/serial-rig.sh" --build "$build" env)"
export QUILLON_BUILD="$build" QUILLON_RIG="$QUILLON_ROOT/scripts/serial-rig.sh" QUILLON_BIN="$build/bin"
export QUILLON_SOAK_SECONDS=$((minutes * 60))
exec "$build/wine-run" "$build/bin/test_soak.exe"
