#!/bin/sh
# Installs the Debian packages that building and testing cellpost need,
# when any is missing. Quiet and quick when all are there.
set -e
packages="cmake ninja-build g++ clang libgtest-dev libgmock-dev python3 python3-gammu util-linux mount binutils valgrind dpkg-dev groff-base libbenchmark-dev lintian"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "cellpost needs these Debian packages:$missing" >&2
    echo "Install them as root: apt-get install -y$missing" >&2
    exit 1
fi
echo "Installing:$missing"
apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
