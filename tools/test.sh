#!/bin/sh
# Builds cellpost with warnings as errors and runs every test.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja -DCELLPOST_WERROR=ON
cmake --build build
# As many tests at once as the machine has cores: the time bounds allow
# for load, not for twice as many tests as cores.
ctest --test-dir build -j"$(nproc)" --output-on-failure
