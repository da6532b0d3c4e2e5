#!/bin/bash
# The serial rig: a device simulator on one end of a pseudo-terminal pair
# whose other end is a COM port of the build tree's Wine prefix.
#
#   serial-rig.sh [--build DIR] start PORT MODE [NOISE]
#       COM<PORT> becomes a device (MODE: modbus, echo, silent, half; see
#       tests/serial/rig/serialsim.c). Returns once the device listens.
#   serial-rig.sh [--build DIR] stop PORT
#       stops the prefix's wineserver (it holds the pseudo-terminal as its
#       controlling terminal), then ends the device and removes COM<PORT>.
#   serial-rig.sh [--build DIR] unplug PORT
#       ends the device while Wine runs on: the far end goes away.
#   serial-rig.sh [--build DIR] env
#       prints the exports that let Wine's COM ports answer modem-line
#       requests (a preloaded library), for: eval "$(serial-rig.sh env)"
#   serial-rig.sh [--build DIR] build
#       builds the simulator and the preloaded library into DIR/rig.
#   serial-rig.sh [--build DIR] serve QUEUE
#       runs the commands above that a Windows program leaves in the folder
#       QUEUE as N.cmd (one line of arguments), writing N.out and the exit
#       code to N.done; ends when QUEUE/stop appears or after ten idle
#       minutes. (Wine starts Linux programs but gives no process to wait
#       for, and leaves a handle behind for each: tests start this once.)
#
# DIR defaults to build/<arch> of the architecture the tests run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# The preloaded library is for Wine, not for the rig's own programs.
unset LD_PRELOAD

build=""
if [ "${1:-}" = --build ]; then build="$2"; shift 2; fi
[ -n "$build" ] || build="$BUILD_ROOT/$(test_arch)"
build="$(cd "$build" && pwd)"
rig="$build/rig"
sources="$QUILLON_ROOT/tests/serial/rig"
command="${1:-}"
shift || true

die() { echo "serial-rig: $*" >&2; exit 1; }

# Waits up to 10 s for a condition, in short steps.
wait_for() {
    for _ in $(seq 200); do
        if eval "$1"; then return 0; fi
        sleep 0.05
    done
    return 1
}

# The preload must match the Wine that runs the programs: the build tree's
# pointer size tells (its wine-run names wine64 for 64-bit trees).
wine_bits() {
    if grep -q wine64 "$build/wine-run" 2>/dev/null; then echo 64; else echo 32; fi
}

build_rig() {
    mkdir -p "$rig"
    local bits multiarch flags=()
    bits="$(wine_bits)"
    if [ "$bits" = 32 ]; then multiarch=i386-linux-gnu; flags=(-m32); else multiarch=x86_64-linux-gnu; fi
    # Found by the dynamic loader through $LIB, which names this folder.
    mkdir -p "$rig/lib/$multiarch"
    gcc "${flags[@]}" -O2 -Wall -Wextra -Werror -shared -fPIC -o "$rig/lib/$multiarch/libquillonlines.so.tmp" \
        "$sources/modemlines.c" -ldl
    mv -f "$rig/lib/$multiarch/libquillonlines.so.tmp" "$rig/lib/$multiarch/libquillonlines.so"
    gcc -O2 -Wall -Wextra -Werror -I/usr/include/modbus -o "$rig/serialsim.tmp" "$sources/serialsim.c" -lmodbus
    mv -f "$rig/serialsim.tmp" "$rig/serialsim"
}

print_env() {
    echo "export LD_PRELOAD='$rig/\$LIB/libquillonlines.so'"
    echo "export QUILLON_LINES_DIR='$rig/lines'"
}

# A process that ended but was not reaped yet counts as gone.
alive() {
    [ -n "$1" ] && [ -r "/proc/$1/stat" ] || return 1
    local state
    state="$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1)"
    [ -n "$state" ] && [ "$state" != Z ]
}

unplug() {
    local port="$1" dir="$rig/port$1" pid lines
    rm -f "$build/wineprefix/dosdevices/com$port"
    [ -d "$dir" ] || return 0
    for name in sim socat; do
        pid="$(cat "$dir/$name.pid" 2>/dev/null || true)"
        if alive "$pid"; then
            kill "$pid" 2>/dev/null || true
            wait_for "! alive $pid" || kill -9 "$pid" 2>/dev/null || true
        fi
    done
    lines="$(readlink -f "$dir/lines" 2>/dev/null || true)"
    [ -n "$lines" ] && rm -f "$lines"
    rm -rf "$dir"
}

start() {
    local port="$1" mode="$2" noise="${3:-}" dir="$rig/port$1" pts number
    case "$port" in ''|*[!0-9]*) die "port must be a number";; esac
    [ -x "$rig/serialsim" ] || build_rig
    [ -d "$build/wineprefix/dosdevices" ] || "$QUILLON_ROOT/scripts/make-prefix.sh" "$build"
    unplug "$port"
    mkdir -p "$dir" "$rig/lines"
    socat pty,raw,echo=0,link="$dir/dev" pty,raw,echo=0,link="$dir/peer" </dev/null >"$dir/socat.log" 2>&1 &
    echo $! >"$dir/socat.pid"
    wait_for "[ -e '$dir/dev' ] && [ -e '$dir/peer' ]" || die "socat made no pseudo-terminals (see $dir/socat.log)"
    pts="$(readlink -f "$dir/dev")"
    number="${pts##*/}"
    # The modem lines of this pseudo-terminal, shared with the preloaded
    # library and the tests.
    rm -f "$rig/lines/pts$number"
    head -c $((16 + 16 * 4096)) /dev/zero >"$rig/lines/pts$number"
    ln -sfn "../lines/pts$number" "$dir/lines"
    if [ -n "$noise" ]; then
        SERIALSIM_READY="$dir/listening" "$rig/serialsim" "$dir/peer" "$mode" "$noise" </dev/null >"$dir/sim.log" 2>&1 &
    else
        SERIALSIM_READY="$dir/listening" "$rig/serialsim" "$dir/peer" "$mode" </dev/null >"$dir/sim.log" 2>&1 &
    fi
    echo $! >"$dir/sim.pid"
    wait_for "[ -e '$dir/listening' ]" || die "the simulator did not start (see $dir/sim.log)"
    ln -sfn "$pts" "$build/wineprefix/dosdevices/com$port"
    echo "COM$port -> $pts ($mode)"
    touch "$dir/ready"
}

serve() {
    local queue="$1" idle=0 file name arguments
    mkdir -p "$queue"
    rm -f "$queue/stop"
    while [ ! -e "$queue/stop" ] && [ "$idle" -lt 12000 ]; do
        idle=$((idle + 1))
        for file in "$queue"/*.cmd; do
            [ -e "$file" ] || continue
            name="${file%.cmd}"
            read -r arguments <"$file" || true
            rm -f "$file"
            # shellcheck disable=SC2086
            if "$0" --build "$build" $arguments >"$name.out" 2>&1; then echo 0 >"$name.tmp"; else echo $? >"$name.tmp"; fi
            mv -f "$name.tmp" "$name.done"
            idle=0
        done
        sleep 0.05
    done
    rm -rf "$queue"
}

case "$command" in
    build) build_rig ;;
    serve) [ $# -ge 1 ] || die "usage: serial-rig.sh serve QUEUE"; serve "$1" ;;
    env) print_env ;;
    start) [ $# -ge 2 ] || die "usage: serial-rig.sh start PORT MODE [NOISE]"; start "$@" ;;
    unplug) [ $# -ge 1 ] || die "usage: serial-rig.sh unplug PORT"; unplug "$1" ;;
    stop)
        [ $# -ge 1 ] || die "usage: serial-rig.sh stop PORT"
        WINEPREFIX="$build/wineprefix" wineserver -k 2>/dev/null || true
        unplug "$1" ;;
    *) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
