#!/bin/sh
# Builds the three .debs (appduck, python3-appduck, node-appduck) from a
# built tree and checks them as Debian would: what they declare, where
# their files are, what lintian says (no errors). Then installs them with
# dpkg into a clean root (this machine's own, under an overlay that keeps
# every change apart) and, in there, imports both clients and runs the
# README's voice-assistant recipes against a private sound server playing
# music: the music comes back exactly.
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
python_deb=$(ls "$scratch"/out/python3-appduck_*_all.deb)
node_deb=$(ls "$scratch"/out/node-appduck_*_all.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
echo "$depends" | grep -q 'libpulse0' || fail "no libpulse0 dependency"
echo "$depends" | grep -q 'libc6 (>= ' || fail "no libc6 dependency from the binary"
dpkg-deb -f "$deb" Maintainer | grep -qv localhost || fail "a localhost maintainer"
dpkg-deb -f "$python_deb" Depends | grep -q 'python3:any' || fail "python3-appduck needs no python3"
dpkg-deb -f "$node_deb" Depends | grep -q 'nodejs' || fail "node-appduck needs no nodejs"

dpkg-deb -x "$deb" "$scratch/root"
dpkg-deb -x "$python_deb" "$scratch/root"
dpkg-deb -x "$node_deb" "$scratch/root"
for file in usr/bin/appduck usr/share/man/man1/appduck.1.gz usr/share/doc/appduck/copyright \
            usr/share/doc/appduck/changelog.Debian.gz \
            usr/lib/python3/dist-packages/appduck/__init__.py \
            usr/lib/python3/dist-packages/appduck/py.typed \
            usr/share/doc/python3-appduck/copyright usr/share/nodejs/appduck/package.json \
            usr/share/nodejs/appduck/index.d.ts usr/share/doc/node-appduck/copyright; do
    [ -f "$scratch/root/$file" ] || fail "missing from the packages: $file"
done
gzip -t "$scratch/root/usr/share/man/man1/appduck.1.gz" || fail "the manual page is no gzip file"
head -1 "$scratch/root/usr/share/doc/appduck/copyright" | grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in Debian's format"

# Errors fail the test; warnings and notes are shown.
for package in "$deb" "$python_deb" "$node_deb"; do
    lintian --fail-on error --info "$package" 2>&1 | grep -v 'running with root privileges' || true
    lintian --fail-on error "$package" >/dev/null 2>&1 || fail "lintian reports errors in $package"
done

start_pulse_server
cp /usr/bin/pacat "$scratch/jukebox"
"$scratch/jukebox" --playback --raw --device=test </dev/zero >/dev/null 2>&1 &
player=$!
tries=0
until pactl list short sink-inputs | grep -q . || [ "$tries" -gt 50 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
own=$(pactl list sink-inputs | sed -n 's/^\s*Volume: [a-z-]*: \([0-9]*\) .*/\1/p')
[ "$own" = 65536 ] || fail "the jukebox plays at $own, not at its own level"

# The recipes as the README gives them, and a script for the clean root.
python3 - "$here/../../README.md" "$scratch" <<'EOF'
import re, sys
readme, scratch = sys.argv[1], sys.argv[2]
blocks = re.findall(r"```(\w+)\n(.*?)```", open(readme, encoding="utf-8").read(), re.S)
for fence, name in (("python", "assistant.py"), ("js", "assistant.js")):
    (code,) = [code for kind, code in blocks if kind == fence and "appduck recipe" in code]
    open("%s/%s" % (scratch, name), "w").write(code)
EOF
# How the README runs the Python recipe: with Debian's interpreter, while
# the caller's first python3 (pyenv's, on this kind of machine) stays first
# on PATH, as a new user's would.
run_python=$(grep '^/usr/bin/python3 assistant.py' "$here/../../README.md")
[ -n "$run_python" ] || fail "the README does not say how to run the Python recipe"
first_python=$(dirname "$(command -v python3)")
cat >"$scratch/in_root.sh" <<EOF
set -eu
export PATH=$first_python:/usr/sbin:/usr/bin:/sbin:/bin
dpkg -i "$deb" "$python_deb" "$node_deb" >/dev/null
[ "\$(appduck --version)" = "appduck $(dpkg-deb -f "$deb" Version | cut -d- -f1)" ]
/usr/bin/python3 -c 'import appduck; print(appduck.__file__)'
node -e 'console.log(require.resolve("appduck"))'
cd "$scratch"
$run_python
node assistant.js
EOF
merged="$scratch/merged"
mkdir -p "$scratch/upper" "$scratch/work" "$merged"
# The sound server's directory and the scratch one are bound in, so the
# clean root reaches the server and the packages.
unshare -m sh -c '
    set -eu
    mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" "$2"
    mount -t proc proc "$2/proc"
    mount --bind /dev "$2/dev"
    mkdir -p "$2$1" "$2$3"
    mount --bind "$1" "$2$1"
    mount --bind "$3" "$2$3"
    exec chroot "$2" /bin/sh "$1/in_root.sh"
' sh "$scratch" "$merged" "$PULSE_TEST_DIR" || fail "the packages do not install and serve in a clean root"
[ ! -e /usr/share/nodejs/appduck ] || dpkg -s node-appduck >/dev/null 2>&1 ||
    fail "the clean root was not kept apart"

# Node.js exits without waiting: its appduck restores as its input ends.
tries=0
while after=$(pactl list sink-inputs | sed -n 's/^\s*Volume: [a-z-]*: \([0-9]*\) .*/\1/p') &&
      [ "$after" != "$own" ] && [ "$tries" -lt 50 ]; do
    tries=$((tries + 1))
    sleep 0.1
done
[ "$after" = "$own" ] || fail "the recipes left the jukebox at $after, not $own"
for package in "$deb" "$python_deb" "$node_deb"; do
    echo "ok: $(basename "$package") ($(stat -c %s "$package") bytes) is lintian-clean of errors"
done
echo "ok: installed with dpkg in a clean root, the clients import and the recipes bring the jukebox back exactly"
