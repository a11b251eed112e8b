#!/bin/sh
# The README's first command, as a newcomer runs it on a machine where no
# sound server answers: tools/run.sh from a copy of the tree (its build
# starts from nothing, as in a fresh clone) builds appduck, starts the demo
# world and answers the commands piped to it; the demo world is gone after.
# usage: run_test.sh SOURCE_DIR
set -eu
scratch=$(mktemp -d "${TMPDIR:-/tmp}/appduck-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
mkdir "$scratch/tree" "$scratch/tmp"
tar -C "$1" --exclude=./build --exclude=./.git -cf - . | tar -C "$scratch/tree" -xf -

# The end of input adds the last reply.
printf 'list\nduck 20 player\nlist\nrestore\nlist\n' >"$scratch/commands"
# A server address that leads nowhere: run.sh must find no server of its own.
# Its private server and players live under the scratch directory.
status=0
PULSE_SERVER="unix:$scratch/none" TMPDIR="$scratch/tmp" sh "$scratch/tree/tools/run.sh" \
    <"$scratch/commands" >"$scratch/replies" 2>"$scratch/errors" || status=$?
[ "$status" -eq 0 ] || { cat "$scratch/errors"; fail "tools/run.sh ended with status $status"; }
cat >"$scratch/expected" <<'EOF'
[{"exe":"player","name":"player","vol":100},{"exe":"chat","name":"chat","vol":100}]
{"ok":true,"bajados":1}
[{"exe":"player","name":"player","vol":20},{"exe":"chat","name":"chat","vol":100}]
{"ok":true}
[{"exe":"player","name":"player","vol":100},{"exe":"chat","name":"chat","vol":100}]
{"ok":true}
EOF
cmp -s "$scratch/expected" "$scratch/replies" || {
    diff "$scratch/expected" "$scratch/replies" || true
    cat "$scratch/errors"
    fail "tools/run.sh answered otherwise than the README shows"
}
# Its demo world ran from the copy: none of its processes may outlive it.
left=$(pgrep -f "$scratch" || true)
[ -z "$left" ] || fail "tools/run.sh left processes behind: $left"
echo "ok: tools/run.sh built appduck from nothing, started the demo world and answered as the README shows"
