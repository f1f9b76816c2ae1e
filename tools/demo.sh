#!/bin/sh
# Builds cellpost and the simulated modem, then sends one real SMS through
# it: cellpost runs unmodified in a private mount namespace where
# /dev/ttyUSB8 is the simulator. Usage: tools/demo.sh [number] [text]
set -e
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "The demo needs root: it mounts a private /dev and /var/lock for cellpost" >&2
    echo "(in a mount namespace of its own; the machine's are not touched)." >&2
    echo "Run it as: sudo tools/demo.sh" >&2
    exit 1
fi
tools/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null
exec /usr/bin/python3 tools/demo.py build/cellpost build/tools/cellpost-modem-sim "$@"
