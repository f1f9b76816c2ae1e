#!/bin/sh
# Static checks that CI fails on: formatting, clang-tidy, cppcheck.
# Needs a configured build directory (compile_commands.json) as $1.
set -e
cd "$(dirname "$0")/.."
build=${1:-build}
sources=$(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror $sources
# The tests are left to cppcheck: GoogleTest's macros drown clang-tidy.
clang-tidy --quiet -p "$build" $(git ls-files 'base/*.cpp' 'pdu/*.cpp' 'port/*.cpp' 'log/*.cpp' 'at/*.cpp' \
    'delivery/*.cpp' 'cli/*.cpp' 'tools/*.cpp')
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
    --std=c++20 --quiet --library=googletest -I base -I pdu -I port -I log -I at -I delivery -I cli \
    base pdu port log at delivery cli tools tests
echo "lint: clean"
