#!/bin/sh
# Builds the .deb from a built tree, checks what it declares and holds,
# unpacks it into a scratch root and runs the appduck in there once.
# usage: deb_test.sh BUILD_DIR
set -eu
build="$1"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/appduck-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >/dev/null
deb=$(ls "$scratch"/out/appduck_*.deb)
dpkg-deb -f "$deb" Depends | grep -q '^libpulse0' || { echo "no libpulse0 dependency"; exit 1; }
dpkg-deb -x "$deb" "$scratch/root"
for file in usr/bin/appduck usr/share/man/man1/appduck.1 usr/share/doc/appduck/README.md \
            usr/share/doc/appduck/LICENSE; do
    [ -f "$scratch/root/$file" ] || { echo "missing from the package: $file"; exit 1; }
done
# No sound server at that address: an empty list, and appduck keeps answering.
reply=$(printf 'list\nquit\n' | PULSE_SERVER=unix:"$scratch/none" "$scratch/root/usr/bin/appduck")
expected='[]
{"ok":true}'
[ "$reply" = "$expected" ] || { echo "unexpected replies: $reply"; exit 1; }
echo "ok: $(basename "$deb") ($(stat -c %s "$deb") bytes) installs and runs"
