#!/bin/bash
# Installs what is missing, builds the driver and runs the whole test suite.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$QUILLON_ROOT/scripts/setup.sh"

arch="$(test_arch)"
if [ "$arch" = i686 ]; then
    echo "Tests run on the shipped 32-bit build (build/i686) under 32-bit Wine."
elif can_run_32bit; then
    echo "QUILLON_TEST_ARCH=$arch: the tests run as $arch programs, not on the shipped 32-bit build."
else
    echo "This machine cannot execute 32-bit code: the tests run as $arch programs under 64-bit Wine," \
         "not on the shipped 32-bit build (which is built and its tables checked)."
fi
configure_and_build i686
if [ "$arch" != i686 ]; then
    configure_and_build "$arch"
    # The checks of the shipped 32-bit binaries need no Wine.
    (cd "$BUILD_ROOT/i686" && ctest --output-on-failure -L native)
fi
prepare_wine "$arch"
cd "$BUILD_ROOT/$arch"
# The soak (label soak) runs by itself: ctest -L soak, or scripts/soak.sh.
ctest --output-on-failure -j"$(nproc)" -LE '^soak$' "$@"
