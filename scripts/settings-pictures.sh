#!/bin/bash
# Pictures of every page of the settings sheet, taken from the real sheet on
# a virtual display: the user's guide's (docs/images) and the reference
# pictures the test suite compares the sheet with (tests/ui/reference).
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$QUILLON_ROOT/scripts/setup.sh"
arch="$(test_arch)"
configure_and_build "$arch"
QUILLON_UPDATE_PICTURES=1 "$QUILLON_ROOT/tests/ui/run-ui-tests.sh" "$BUILD_ROOT/$arch" --gtest_filter='*Pictures'
