#!/bin/bash
# with-modbus-peer.sh BUILD_DIR COMMAND [ARGS...]: runs the command with the
# build's native Modbus TCP server (libmodbus) listening on 127.0.0.1, its
# port in QUILLON_MODBUS_PORT, and stops the server afterwards.
set -uo pipefail
build="$(cd "$1" && pwd)"
shift
fifo="$(mktemp -u)"
mkfifo "$fifo"
"$build/native/modbuspeer" >"$fifo" </dev/null &
peer=$!
trap 'kill $peer 2>/dev/null; wait $peer 2>/dev/null; rm -f "$fifo"' EXIT
read -r -t 30 port <"$fifo" || { echo "the Modbus peer did not start"; exit 1; }
QUILLON_MODBUS_PORT="$port" "$@"
