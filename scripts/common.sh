# Shared by the build, demo and test scripts.

# Any failing command names itself before the script ends.
set -E
trap 'status=$?; echo "error: \"$BASH_COMMAND\" failed with exit code $status (${BASH_SOURCE[0]}:$LINENO)" >&2' ERR
QUILLON_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_ROOT="${QUILLON_BUILD_ROOT:-$QUILLON_ROOT/build}"

# Some kernels (and some virtual machines) cannot execute 32-bit x86 code at
# all; there the shipped 32-bit build is still made and checked, and the test
# programs are built and run as 64-bit Windows programs under 64-bit Wine.
can_run_32bit() {
    timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1
}

test_arch() {
    if [ -n "${QUILLON_TEST_ARCH:-}" ]; then echo "$QUILLON_TEST_ARCH";
    elif can_run_32bit; then echo i686; else echo x86_64; fi
}

# configure_and_build ARCH: builds into $BUILD_ROOT/ARCH.
configure_and_build() {
    local arch="$1" dir="$BUILD_ROOT/$1"
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$QUILLON_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DCMAKE_TOOLCHAIN_FILE="$QUILLON_ROOT/cmake/mingw-$arch.cmake" >/dev/null
    fi
    cmake --build "$dir" -- -j"$(nproc)"
}

# prepare_wine ARCH: makes the build tree's Wine prefix (once) and starts its
# server with stdio of its own, so that test programs start in milliseconds.
# A server that is already running (left by an earlier demo or test run) is
# used as it is.
prepare_wine() {
    local dir="$BUILD_ROOT/$1"
    "$QUILLON_ROOT/scripts/make-prefix.sh" "$dir"
    "$QUILLON_ROOT/scripts/make-prefix.sh" "$dir" wineprefix-ui
    (
        export WINEPREFIX="$dir/wineprefix"
        wineserver -p 300 </dev/null >/dev/null 2>&1 || true
        if ! "$dir/wine-run" cmd /c exit </dev/null >/dev/null 2>&1; then
            echo "error: Wine cannot start programs in $WINEPREFIX" >&2
            exit 1
        fi
        # The first window a test program makes (the modem tests' telephony
        # stand-in makes one) starts Wine's desktop process, which would
        # keep ctest's output open until the server ends: start it here.
        "$dir/wine-run" explorer.exe /desktop </dev/null >/dev/null 2>&1 &
    )
}
