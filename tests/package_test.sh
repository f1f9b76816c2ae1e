#!/bin/sh
# Builds the Debian package, checks its metadata and, where lintian is
# installed, that Debian's checker finds no error or warning in it; then
# unpacks it into a scratch root and runs the installed binary with no
# arguments (under the emulator, for another architecture's package).
# Usage: package_test.sh BUILD_DIR [EMULATOR...]
set -eu
build=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/cellpost_*_*.deb)
echo "package: $(basename "$deb")"
info=$(dpkg-deb --field "$deb" Package Version Architecture Maintainer Section Depends Description)
echo "$info"
echo "$info" | grep -q '^Maintainer: cellpost developers' || { echo "no maintainer"; exit 1; }
echo "$info" | grep -q '^Section: comm' || { echo "no section"; exit 1; }
echo "$info" | grep -q '^Depends: libc6 (>= 2\.[0-9]*)$' || { echo "not libc6 alone"; exit 1; }
if command -v lintian >/dev/null; then
    tags=$(lintian --fail-on none "$deb" 2>/dev/null | grep -E '^[EW]: ' || true)
    [ -z "$tags" ] || { echo "lintian:"; echo "$tags"; exit 1; }
    echo "lintian: no error, no warning"
fi
dpkg -x "$deb" "$work/root"
test -f "$work/root/usr/share/man/man1/cellpost.1.gz" || { echo "no manual page"; exit 1; }
test -f "$work/root/usr/share/doc/cellpost/copyright" || { echo "no copyright"; exit 1; }
status=0
out=$("$@" "$work/root/usr/bin/cellpost") || status=$?
expected="Usage: cellpost <phone number 1> <phone number 2> ... <phone number n> <text sms in quotation marks>"
[ "$status" -eq 1 ] || { echo "exit status $status, expected 1"; exit 1; }
[ "$out" = "$expected" ] || { echo "printed: $out"; exit 1; }
echo "installed binary: usage line and status 1"
