#!/bin/sh
# Builds the .deb from a built tree and checks it as Debian would: what it
# declares, where its files are, what lintian says (no errors); then
# unpacks it into a scratch root and runs the appduck in there against a
# private sound server with a player.
# usage: deb_test.sh BUILD_DIR
set -eu
build="$1"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/pulse_server.sh"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/appduck-deb.XXXXXX")
cleanup() {
    [ -z "${player:-}" ] || { kill "$player" 2>/dev/null; wait "$player" 2>/dev/null; } || true
    stop_pulse_server
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >/dev/null
deb=$(ls "$scratch"/out/appduck_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libpulse0' || fail "no libpulse0 dependency"
echo "$depends" | grep -q 'libc6 (>= ' || fail "no libc6 dependency from the binary"
dpkg-deb -f "$deb" Maintainer | grep -qv localhost || fail "a localhost maintainer"

dpkg-deb -x "$deb" "$scratch/root"
for file in usr/bin/appduck usr/share/man/man1/appduck.1.gz usr/share/doc/appduck/copyright \
            usr/share/doc/appduck/changelog.Debian.gz; do
    [ -f "$scratch/root/$file" ] || fail "missing from the package: $file"
done
gzip -t "$scratch/root/usr/share/man/man1/appduck.1.gz" || fail "the manual page is no gzip file"
head -1 "$scratch/root/usr/share/doc/appduck/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in Debian's format"

# Errors fail the test; warnings and notes are shown.
lintian --fail-on error --info "$deb" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "$deb" >/dev/null 2>&1 || fail "lintian reports errors"

start_pulse_server
cp /usr/bin/pacat "$scratch/jukebox"
"$scratch/jukebox" --playback --raw --device=test </dev/zero >/dev/null 2>&1 &
player=$!
tries=0
until pactl list short sink-inputs | grep -q . || [ "$tries" -gt 50 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
reply=$(printf 'list\nduck 50 jukebox\nlist\nquit\n' | "$scratch/root/usr/bin/appduck")
expected='[{"exe":"jukebox","name":"jukebox","vol":100}]
{"ok":true,"bajados":1}
[{"exe":"jukebox","name":"jukebox","vol":50}]
{"ok":true}'
[ "$reply" = "$expected" ] || fail "unexpected replies: $reply"
echo "ok: $(basename "$deb") ($(stat -c %s "$deb") bytes) is lintian-clean of errors, installs and runs"
