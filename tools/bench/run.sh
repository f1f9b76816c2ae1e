#!/bin/sh
# Builds and runs both benchmarks: the encoder (Google Benchmark), and whole
# runs and a burst of alarms on one modem and on a pool of two against the
# simulated modems (needs root for the private namespace).
set -e
cd "$(dirname "$0")/../.."
tools/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build >/dev/null
build/tools/pdu_bench
/usr/bin/python3 tools/bench/run_bench.py build/cellpost build/tools/cellpost-modem-sim build/tools/rusage_exec
