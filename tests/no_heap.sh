#!/bin/sh
# Fails when any of the given archives refers to the allocator or throws:
# the program's own code keeps every buffer fixed-size.
# Usage: no_heap.sh NM ARCHIVE... (NM of the archives' target)
nm=$1
shift
status=0
for archive in "$@"; do
    found=$("$nm" -C --undefined-only "$archive" |
        grep -E ' (malloc|calloc|realloc|free|strdup|operator new|operator delete|__cxa_allocate_exception|__cxa_throw)\b' |
        sort -u)
    if [ -n "$found" ]; then
        echo "$archive refers to:"
        echo "$found"
        status=1
    fi
done
[ $status -eq 0 ] && echo "no allocation or throw in: $*"
exit $status
