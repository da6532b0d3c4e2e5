#!/bin/bash
# run-net.sh loopback|namespace BUILD_DIR: runs the network link tests.
#  loopback:  starts the native Modbus TCP peer on 127.0.0.1 and runs every
#             test but the namespace ones in the build tree's Wine prefix.
#  namespace: runs the namespace tests inside a private network namespace
#             (loopback only, pings unanswered), with a Wine prefix of its
#             own whose server starts inside the namespace, so that nothing
#             leaves the machine. Skipped (code 77) where no namespace can be
#             made.
set -uo pipefail
mode="$1"
build="$(cd "$2" && pwd)"

if [ "$mode" = loopback ]; then
    exec "$(dirname "$0")/../support/with-modbus-peer.sh" "$build" \
        "$build/wine-run" "$build/bin/test_net.exe" --gtest_filter='-Namespace*'
fi

if ! unshare -n true 2>/dev/null; then
    echo "SKIPPED: a private network namespace cannot be made here (unshare -n failed);"
    echo "UDP broadcast, the unanswered ping and unknown host names are not tested."
    exit 77
fi
prefix="$build/wineprefix-netns"
if [ ! -f "$prefix/.quillon-ready" ]; then
    rm -rf "$prefix"
    cp -a "$build/wineprefix" "$prefix" || exit 1
    touch "$prefix/.quillon-ready"
fi
# The build tree's launcher with the namespace's prefix.
sed "s|^export WINEPREFIX=.*|export WINEPREFIX=\"$prefix\"|" "$build/wine-run" >"$build/wine-run-netns"
chmod +x "$build/wine-run-netns"
exec unshare -n env WINEPREFIX="$prefix" QUILLON_NET_NAMESPACE=1 sh -c '
    if ! ip link set lo up || ! sysctl -qw net.ipv4.icmp_echo_ignore_all=1; then
        echo "SKIPPED: the private network namespace cannot be set up (loopback, unanswered pings)."
        exit 77
    fi
    # The server and Wine'"'"'s services start with stdio of their own, so that
    # nothing of them holds the caller'"'"'s output open.
    wineserver -p 30 </dev/null >/dev/null 2>&1
    "$1/wine-run-netns" cmd /c exit </dev/null >/dev/null 2>&1
    "$1/wine-run-netns" "$1/bin/test_net.exe" --gtest_filter="Namespace*"
    status=$?
    wineserver -k </dev/null >/dev/null 2>&1
    wineserver -w </dev/null >/dev/null 2>&1
    exit $status' sh "$build"
