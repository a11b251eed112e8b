#!/bin/sh
# Follows the README's install commands as a user would, in its order: the
# build, the `cmake --install` line (into a scratch prefix instead of
# /usr/local), then the clients' lines (a virtual environment with pip
# offline, npm pack and install into an empty project); checks what each
# installed.
# usage: install_test.sh SOURCE_DIR
set -eu
cd "$1"
source_dir=$PWD
scratch=$(mktemp -d "${TMPDIR:-/tmp}/appduck-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
# The README's line that begins so, exactly one.
readme_line() {
    line=$(grep "^$1" README.md | sed 's/ *#.*$//')
    [ "$(printf '%s\n' "$line" | wc -l)" -eq 1 ] && [ -n "$line" ] ||
        fail "the README has no one line beginning $1"
    printf '%s\n' "$line"
}

build=$(readme_line 'tools/setup.sh && cmake --preset linux')
install=$(readme_line 'cmake --install build/linux' | sed 's| /usr/local$||')
venv=$(readme_line 'python3 -m venv')
npm=$(readme_line '(cd clients/node && npm pack)')
echo "+ $build"
sh -c "$build" >/dev/null
echo "+ $install $scratch/prefix"
sh -c "$install \"$scratch/prefix\"" >/dev/null

for file in bin/appduck share/man/man1/appduck.1.gz share/doc/appduck/copyright \
            share/doc/appduck/changelog.Debian.gz share/doc/appduck/README.md; do
    [ -f "$scratch/prefix/$file" ] || fail "not installed: $file"
done
[ ! -e "$scratch/prefix/lib" ] || fail "the program's install brought the clients"
gzip -t "$scratch/prefix/share/man/man1/appduck.1.gz" || fail "the manual page is no gzip file"
reply=$(printf 'quit\n' | PULSE_SERVER="unix:$scratch/none" "$scratch/prefix/bin/appduck")
[ "$reply" = '{"ok":true}' ] || fail "the installed appduck answered: $reply"
echo "ok: the README's install commands install the program, its manual page and documents"

# The clients, from a copy of the tree: nothing is made in the source.
mkdir "$scratch/tree" "$scratch/project"
cp -r "$source_dir/clients" "$scratch/tree/"
cd "$scratch/tree"
echo "+ $venv"
# Debian's own Python, as on a fresh Debian 12 (a pyenv one sees not its packages).
PATH="/usr/bin:$PATH" PIP_NO_INDEX=1 sh -c "$venv" >/dev/null
.venv/bin/python -c 'import appduck, sys; assert ".venv" in appduck.__file__, appduck.__file__' ||
    fail "the virtual environment has no appduck"
echo "+ $npm (in an empty project beside the tree's clients)"
cd "$scratch/project"
ln -s "$scratch/tree/clients" clients
npm init -y >/dev/null
NO_UPDATE_NOTIFIER=1 npm_config_audit=false npm_config_fund=false sh -c "$npm" >/dev/null
node -e 'const a = require("appduck"); if (!a.Appduck) process.exit(1)' ||
    fail "the project has no appduck"
node --input-type=module -e 'import { Appduck } from "appduck"; if (!Appduck) process.exit(1);' ||
    fail "the ES module has no Appduck"
echo "ok: the README's client lines install the Python client in a virtual environment and the Node.js one in a project"
