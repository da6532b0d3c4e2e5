#!/bin/bash
# Installs what is missing, builds the driver and runs the whole test suite.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$QUILLON_ROOT/scripts/setup.sh"

configure_and_build i686
arch="$(test_arch)"
if [ "$arch" != i686 ]; then
    echo "This machine cannot execute 32-bit code: the tests run as $arch programs under 64-bit Wine."
    configure_and_build "$arch"
    # The checks of the shipped 32-bit binaries need no Wine.
    (cd "$BUILD_ROOT/i686" && ctest --output-on-failure -L native)
fi
prepare_wine "$arch"
cd "$BUILD_ROOT/$arch"
ctest --output-on-failure -j"$(nproc)" "$@"
