#!/bin/sh
# Builds cellpost with warnings as errors and runs every test.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja -DCELLPOST_WERROR=ON
cmake --build build
ctest --test-dir build -j8 --output-on-failure
