#!/bin/sh
# Fails unless the binary needs the C library alone: libc.so.6 is its only
# NEEDED entry and every symbol it imports is the C library's.
# Usage: libc_only.sh BINARY READELF NM (the tools of the binary's target)
set -eu
bin=$1 readelf=$2 nm=$3
needed=$("$readelf" -d "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
if [ "$needed" != "libc.so.6" ]; then
    echo "$bin needs:" $needed
    exit 1
fi
# Weak hooks that the C start-up files refer to are not imports of ours.
foreign=$("$nm" -D --undefined-only "$bin" |
    grep -Ev '@GLIBC_[0-9.]+$| w (_ITM_|__gmon_start__|__cxa_finalize)' || true)
if [ -n "$foreign" ]; then
    echo "$bin imports symbols from outside the C library:"
    echo "$foreign"
    exit 1
fi
echo "$bin needs libc.so.6 alone"
