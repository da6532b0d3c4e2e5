#!/bin/bash
# Installs what is missing, builds the driver and runs it through the
# command-line host: load, report, start, stop.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$QUILLON_ROOT/scripts/setup.sh"

configure_and_build i686
arch="$(test_arch)"
[ "$arch" != i686 ] && configure_and_build "$arch"
prepare_wine "$arch"
cd "$BUILD_ROOT/$arch"
./wine-run bin/quillonhost.exe demo "$@"
