#!/bin/sh
# Follows the README's install section as a user would, in its order: the
# build that tools/run.sh makes, then the README's `cmake --install` line
# (into a scratch prefix instead of /usr/local); checks what was installed.
# usage: install_test.sh SOURCE_DIR
set -eu
cd "$1"
scratch=$(mktemp -d "${TMPDIR:-/tmp}/appduck-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

build=$(grep -m1 '^cmake --build --preset linux' tools/run.sh | sed 's/ *>&2$//')
install=$(sed -n 's/^\(cmake --install build\/linux --prefix \)\/usr\/local.*/\1/p' README.md | head -1)
[ -n "$build" ] || fail "tools/run.sh builds nothing"
[ -n "$install" ] || fail "the README has no install line"
echo "+ $build"
sh -c "$build" >/dev/null
echo "+ $install$scratch"
sh -c "$install\"$scratch\"" >/dev/null

for file in bin/appduck share/man/man1/appduck.1.gz share/doc/appduck/copyright \
            share/doc/appduck/changelog.Debian.gz share/doc/appduck/README.md; do
    [ -f "$scratch/$file" ] || fail "not installed: $file"
done
gzip -t "$scratch/share/man/man1/appduck.1.gz" || fail "the manual page is no gzip file"
reply=$(printf 'quit\n' | PULSE_SERVER="unix:$scratch/none" "$scratch/bin/appduck")
[ "$reply" = '{"ok":true}' ] || fail "the installed appduck answered: $reply"
echo "ok: the README's install commands install the program, its manual page and documents"
